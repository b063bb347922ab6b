// zoetra: the command-line front end.
//
//   zoetra create -o OUT.gif [--delay MS] [--gray] [--optimize] [--swap-rg] [--raise-errors] PICTURE...
//   zoetra info [--json] FILE.gif
//   zoetra frames -o DIR FILE.gif
//
// Exit status: 0 success, 1 a failed conversion or unreadable input, 2 a usage error.
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "cli/commands.hpp"

int main(int argc, char** argv) {
  CLI::App app{"Turns an ordered list of still pictures into one animated GIF, and looks inside GIFs.", "zoetra"};
  app.set_version_flag("-V,--version", std::string("zoetra ") + ZOETRA_VERSION);
  app.require_subcommand(1);
  app.footer("Run 'zoetra COMMAND --help' for the options of a command.");

  zoetra::cli::CreateOptions create;
  CLI::App* create_cmd = app.add_subcommand("create", "Make an animated GIF from pictures (PNG, JPEG, BMP, GIF)");
  create_cmd->add_option("-o,--output", create.output, "Output GIF file, or - for standard output")->required();
  create_cmd->add_option("-d,--delay", create.delay_ms, "Delay per frame in milliseconds")
      ->default_val(350)
      ->check(CLI::Range(-32768, 32767));
  create_cmd->add_flag("-g,--gray", create.gray, "Use a palette of 256 greys");
  create_cmd->add_flag("--optimize", create.optimize, "Crop frames to what changed and merge unchanged frames");
  create_cmd->add_flag("--swap-rg", create.swap_rg, "Exchange the red and green channels of every picture");
  create_cmd->add_flag("--raise-errors", create.raise_errors,
                       "Report failures as the component's error report (and log them)");
  create_cmd->add_flag("-q,--quiet", create.quiet, "No progress bar");
  create_cmd->add_option("pictures", create.pictures, "Pictures, in frame order")->required();

  zoetra::cli::InfoOptions info;
  CLI::App* info_cmd = app.add_subcommand("info", "Describe a GIF file: screen, palette, loop count and frames");
  info_cmd->add_flag("--json", info.json, "Print JSON instead of text");
  info_cmd->add_option("file", info.file, "GIF file")->required();

  zoetra::cli::FramesOptions frames;
  CLI::App* frames_cmd =
      app.add_subcommand("frames", "Write every frame of a GIF, composed as a viewer shows it, as bitmap files");
  frames_cmd->add_option("-o,--output", frames.directory, "Directory for frame-0001.bmp, frame-0002.bmp, ...")
      ->required();
  frames_cmd->add_option("file", frames.file, "GIF file")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  if (create_cmd->parsed()) return zoetra::cli::RunCreate(create);
  if (info_cmd->parsed()) return zoetra::cli::RunInfo(info);
  if (frames_cmd->parsed()) return zoetra::cli::RunFrames(frames);
  return 2;
}
