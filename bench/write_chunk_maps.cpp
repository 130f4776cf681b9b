// `write_chunk_maps RELEASE_DIR PATH...`: writes the chunk map of each named
// plain file of a published release to LauncherConfig/delta/<PATH>.map (and
// its blocks file beside it), as
// the publisher does for big files. bench/delta_vs_zsync.sh uses it with a
// patcher whose publish does not write maps yet, so that the delta updates
// of the engine can be measured on their own.
#include <cstdio>
#include <string>

#include "update/chunk_map.h"
#include "update/release_layout.h"
#include "util/file_util.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: write_chunk_maps RELEASE_DIR PATH...\n");
    return 2;
  }
  const std::string release = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string path = argv[i];
    ChunkMap map;
    std::vector<uint64_t> blocks;
    if (!BuildChunkMap(release + "/" + path, ChunkParams{}, &map, &blocks)) {
      std::fprintf(stderr, "write_chunk_maps: cannot read %s\n", path.c_str());
      return 1;
    }
    const std::string target = release + "/" + release_layout::DeltaMapPath(path);
    const std::string blocksTarget = release + "/" + release_layout::DeltaBlocksPath(path);
    if (!CreateParentFolders(target) || !WriteFileAtomically(target, SerializeChunkMap(map)) ||
        !WriteFileAtomically(blocksTarget, SerializeBlockHashes(map.md5, blocks))) {
      std::fprintf(stderr, "write_chunk_maps: cannot write %s\n", target.c_str());
      return 1;
    }
  }
  return 0;
}
