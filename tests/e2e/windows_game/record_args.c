/* A Windows console program that stands in for the game: it writes the
   arguments it was started with, one a line, to game-args.txt in its
   current folder (renamed into place, so a reader never sees half). */
#include <stdio.h>

int main(int argc, char** argv) {
  FILE* out = fopen("game-args.txt.tmp", "wb");
  if (!out) return 1;
  for (int i = 1; i < argc; ++i) fprintf(out, "%s\n", argv[i]);
  if (fclose(out) != 0) return 1;
  remove("game-args.txt");
  return rename("game-args.txt.tmp", "game-args.txt") == 0 ? 0 : 1;
}
