// kestrava-patcher: the operators' and testers' command-line tool. Each
// subcommand lives in its own file and registers itself here.
#include <CLI/CLI.hpp>

void AddMd5Command(CLI::App& app);
void AddFetchCommand(CLI::App& app);
void AddUpdateCommand(CLI::App& app);
void AddPublishCommand(CLI::App& app);
void AddServeCommand(CLI::App& app);
void AddExtractCommand(CLI::App& app);
void AddKeygenCommand(CLI::App& app);

int main(int argc, char** argv) {
  CLI::App app{"Kestrava patcher: digests, publishing and updates of game releases"};
  app.require_subcommand(1);
  AddMd5Command(app);
  AddFetchCommand(app);
  AddUpdateCommand(app);
  AddPublishCommand(app);
  AddServeCommand(app);
  AddExtractCommand(app);
  AddKeygenCommand(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return 0;
}
