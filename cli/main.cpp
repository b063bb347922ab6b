// zoetra: the command-line front end.
//
//   zoetra create -o OUT.gif [--delay MS | --fps F] [--loop N | --no-loop] [--gray] [--optimize]
//   [--swap-rg]
//                [--palette MODE] [--fit WxH] [--background #rrggbb] [--auto-orient] [--sort
//                natural]
//                [--list FILE] [-j N] [--raise-errors] [-q] PICTURE...
//   zoetra info [--json] FILE.gif
//   zoetra frames -o DIR FILE.gif
//
// Exit status: 0 success, 1 a failed conversion or unreadable input, 2 a usage error,
// 128 + the signal's number when SIGHUP, SIGINT or SIGTERM ended it.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "gif/cgif.hpp"
#include <zoetra/zoetra.hpp>

namespace {

constexpr const char* kExitStatusText =
    "Exit status: 0 on success, 1 when a file cannot be read or written or a conversion fails,\n"
    "2 for a usage error, 129, 130 or 143 when SIGHUP, SIGINT or SIGTERM stopped it.\n"
    "Messages go to standard error.";

bool IsCommand(const CLI::App& app, const std::string& name) {
  for (const CLI::App* sub : app.get_subcommands({})) {
    if (sub->check_name(name)) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  namespace cli = zoetra::cli;
  // GIF inputs, before any command loads a picture.
  zoetra::RegisterGifPictures();
  CLI::App app{"Turns pictures, clips (MP4, MOV, WebM, MKV, ...) and animated GIF, PNG and WebP files into one\n"
               "animated GIF, and looks inside GIF files.",
               "zoetra"};
  const std::string version = "zoetra " + std::string(zoetra::Version());
  app.set_version_flag("-V,--version", version);
  app.require_subcommand(1);
  app.footer(std::string("Run 'zoetra COMMAND --help' for the options of a command.\n") + kExitStatusText);

  cli::CreateOptions create;
  CLI::App* create_cmd = app.add_subcommand(
      "create",
      "Make an animated GIF from pictures (PNG, JPEG, BMP, GIF), one frame each, and from clips and\n"
      "animated pictures, their frames at their own times");
  create_cmd->add_option("-o,--output", create.output, "Output GIF file; - writes it to standard output")
      ->required()
      ->type_name("FILE");
  CLI::Option* delay =
      create_cmd
          ->add_option("-d,--delay", create.delay_ms,
                       "Delay per frame in milliseconds, 0 to 32767 (kept in 1/100 s)")
          ->default_val(350)
          ->type_name("MS");
  create_cmd
      ->add_option(
          "--fps", create.fps,
          "Frames per second instead of --delay: each frame shows 1000 / F ms (in 1/100 s;\n"
          "at most 50 fps show as asked); clips are resampled to F, dropping or repeating frames")
      ->type_name("F")
      ->excludes(delay);
  CLI::Option* loop = create_cmd
                          ->add_option("--loop", create.loop,
                                       "Times the animation repeats, 0 to 65535; 0, the default, loops forever")
                          ->type_name("N");
  create_cmd
      ->add_flag("--no-loop", create.no_loop, "Write no loop block: viewers play the frames once")
      ->excludes(loop);
  create_cmd->add_flag("-g,--gray", create.gray,
                       "Use a palette of 256 greys instead of colours from the pictures");
  create_cmd->add_flag("--optimize", create.optimize,
                       "Store only what changes from frame to frame; merge repeated frames");
  create_cmd->add_flag("--swap-rg", create.swap_rg,
                       "Exchange the red and green channels of every picture");
  create_cmd->add_flag(
      "--raise-errors", create.raise_errors,
      "Report failures as the component's error report (also written to the system log)");
  create_cmd
      ->add_option(
          "-p,--palette", create.palette,
          "Where the colours come from: all (one palette from every picture, the default),\n"
          "frame (a palette per frame) or first (the first picture's, for every frame: the\n"
          "classic conversion, byte for byte)")
      ->type_name("MODE")
      ->check(CLI::IsMember(std::vector<std::string>(std::begin(zoetra::kPaletteModeNames),
                                                     std::end(zoetra::kPaletteModeNames))));
  create_cmd
      ->add_option(
          "-j,--threads", create.threads,
          "Threads for the conversion, 0 to 1024 (0, the default: one per core); the file is the\n"
          "same for every N")
      ->type_name("N");
  create_cmd
      ->add_option("--sort", create.sort,
                   "natural: order the pictures by name, numbers by value (p2 before p10)")
      ->type_name("ORDER")
      ->check(CLI::IsMember({"natural"}));
  CLI::Option* list = create_cmd->add_option(
      "--list", create.list, "Read picture names from FILE, one per line (- reads standard input), after any PICTURE")
      ->type_name("FILE");
  create_cmd->add_option("--fit", create.fit,
                         "Scale every picture to fit inside W x H, keeping its shape, centred on the background;\n"
                         "the screen is W x H")
      ->type_name("WxH");
  create_cmd->add_option("--background", create.background,
                         "Colour #rrggbb under transparent pixels and around fitted pictures (default: transparent\n"
                         "pixels stay transparent, or show their colours as read with --gray or --palette first;\n"
                         "black around fitted pictures)")
      ->type_name("COLOR");
  create_cmd->add_flag("--auto-orient", create.auto_orient, "Turn JPEG photos upright by their EXIF orientation");
  create_cmd->add_option("--start", create.start, "Clips and animated GIFs: begin T into each (seconds or [hh:]mm:ss[.ms])")
      ->type_name("T");
  CLI::Option* duration =
      create_cmd->add_option("--duration", create.duration, "Clips and animated GIFs: take T of each from the start")
          ->type_name("T");
  create_cmd->add_option("--end", create.end, "Clips and animated GIFs: stop at T into each")
      ->type_name("T")
      ->excludes(duration);
  create_cmd->add_option("--width", create.width,
                         "Scale every frame to W pixels wide, keeping the first source's shape")
      ->type_name("W");
  create_cmd->add_option("--height", create.height,
                         "Scale every frame to H pixels high (with --width: to fit inside W x H)")
      ->type_name("H");
  create_cmd->add_option("--quality", create.quality,
                         "1 to 100 (default): lower trades picture for a smaller file (modes all and frame)")
      ->type_name("Q");
  create_cmd->add_flag("-q,--quiet", create.quiet, "No progress line and no result line");
  create_cmd->add_option("PICTURE", create.pictures, "Pictures, clips and animated GIFs, in frame order")->type_name("");
  create_cmd->footer(
      "Without --fit the screen is the size of the first picture, and pictures of other sizes are "
      "fitted\n"
      "into it (with --palette first: the screen takes the size of the last picture). An existing "
      "output\n"
      "file is replaced only by a complete new one, never by one of the pictures. Use -- before\n"
      "pictures whose names start with '-'.");

  cli::InfoOptions info;
  CLI::App* info_cmd = app.add_subcommand("info", "Describe a GIF file: screen, palette, loop count and frames");
  info_cmd->add_flag("--json", info.json, "Print one JSON object instead of text");
  info_cmd->add_option("FILE", info.file, "GIF file; - reads standard input")->required()->type_name("");

  cli::FramesOptions frames;
  CLI::App* frames_cmd = app.add_subcommand(
      "frames", "Write every frame of a GIF, composed as a viewer shows it, as bitmap files");
  frames_cmd->add_option("-o,--output", frames.directory,
                         "Directory for frame-0001.bmp, frame-0002.bmp, ... (made when missing)")
      ->required()
      ->type_name("DIR");
  frames_cmd->add_option("FILE", frames.file, "GIF file; - reads standard input")->required()->type_name("");
  frames_cmd->footer(
      "Each frame is drawn over what the frame before it left, after that frame's disposal:\n"
      "0 and 1 keep it, 2 restores the background colour, 3 restores the picture before it.\n"
      "Transparent pixels show what lies beneath; the screen starts in the background colour.");

  // Asked for after a command too, before its own options are checked.
  for (CLI::App* sub : {create_cmd, info_cmd, frames_cmd}) sub->set_version_flag("-V,--version", version);

  // CLI11 would only say that a command is missing.
  if (argc > 1 && argv[1][0] != '-' && !IsCommand(app, argv[1])) {
    std::fprintf(stderr, "zoetra: unknown command '%s'\nTry 'zoetra --help' for more information.\n", argv[1]);
    return cli::kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
    std::string command = "zoetra";
    for (const CLI::App* sub : app.get_subcommands()) command += " " + sub->get_name();
    std::fprintf(stderr, "zoetra: %s\nTry '%s --help' for more information.\n", e.what(), command.c_str());
    return cli::kExitUsage;
  }

  if (create_cmd->parsed()) {
    if (create.pictures.empty() && list->count() == 0) {
      std::fprintf(stderr, "zoetra: PICTURE is required (or --list FILE)\nTry 'zoetra create --help' for more information.\n");
      return cli::kExitUsage;
    }
    return cli::RunCreate(create);
  }
  if (info_cmd->parsed()) return cli::RunInfo(info);
  if (frames_cmd->parsed()) {
    cli::CleanUpOnInterrupt();
    return cli::RunFrames(frames);
  }
  return cli::kExitUsage;
}
