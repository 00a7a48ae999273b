// linestation's command line.
#include <cctype>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "station/options.hpp"

namespace station {

const char kUsage[] =
    "usage: linestation --slot LOCATION [--slot LOCATION ...] --template FOLDER\n"
    "                   [--itemsmith | --itemsmith-reset] [--treesmith MODE] [options]\n"
    "\n"
    "Provisions the devices of a station at once: on every slot (the USB location of one\n"
    "device) it runs itemsmith and/or treesmith, each run in a fresh copy of the template\n"
    "folder and pinned to its slot through DIAG_USB_LOCATION, so that it sees and touches\n"
    "only the device there. The slots run side by side; on one slot itemsmith runs first,\n"
    "then treesmith. One slot's failure never stops the others.\n"
    "\n"
    "  --slot LOCATION     a device's USB location; repeat for every slot. Linux: the\n"
    "                      kernel's name of the USB device folder (1-2.3: bus 1, hub port 2,\n"
    "                      port 3). Windows: the device's location path or location\n"
    "                      information as Device Manager shows it\n"
    "  --template FOLDER   the working folder to copy for every run: KVX_nvitem.txt for\n"
    "                      itemsmith, the upload folders for treesmith (the programs' own\n"
    "                      result and log files in it are not copied)\n"
    "  --itemsmith         run itemsmith (writes the NV items; mode write)\n"
    "  --itemsmith-reset   run itemsmith and reset the device at the end (mode write+reset)\n"
    "  --treesmith MODE    run treesmith in MODE: kvx, vexa or delete-dl (--DeleteDLFile),\n"
    "                      in any letter case\n"
    "  --work FOLDER       where the runs' working folders go (default station-runs): one\n"
    "                      folder per start, named by its time, with one folder per slot and\n"
    "                      program in it\n"
    "  --csv FILE          the CSV file the results are appended to (default linestation.csv)\n"
    "  --limit SECONDS     a run without a verdict after this long is stopped and counts as\n"
    "                      FAIL (default 900)\n"
    "  --presence-wait SECONDS\n"
    "                      how long a slot may stay empty at the start (a device still\n"
    "                      starting up) before it counts as NO DEVICE (default 15)\n"
    "  --continuous        the shift mode (below): every slot serves one device after another\n"
    "  --removed-after SECONDS\n"
    "                      how long a device may be gone for its own eject or reset (default\n"
    "                      30): longer while itemsmith runs, it was pulled out; between two\n"
    "                      programs and after a last reset, the slot waits this long for it\n"
    "  --keep-going        run a slot's next program even after its first one failed\n"
    "                      (otherwise the next one is SKIPPED)\n"
    "  --http [ADDRESS:]PORT\n"
    "                      serve the web view (below) on PORT of the loopback address, or of\n"
    "                      ADDRESS ([ADDRESS] for IPv6); 0 takes a free port\n"
    "  --programs FOLDER   where itemsmith and treesmith are (default: beside linestation,\n"
    "                      or in its build tree)\n"
    "  --help, -h          show this text\n"
    "  --version           show the version\n"
    "linestation --list-slots lists what is plugged in now: for each DIAG port and device\n"
    "CD-ROM, the slot to give --slot, the port or drive, and the device description.\n"
    "An option's value may follow it (--slot 1-2.3) or be joined to it (--slot=1-2.3).\n"
    "\n"
    "Before anything starts the slots, the programs, the template and the CSV file are\n"
    "checked; a problem is a usage error. A slot where nothing is present (neither a DIAG\n"
    "port nor the device's CD-ROM) within --presence-wait gets NO DEVICE and runs nothing.\n"
    "\n"
    "While the runs go, a table shows per slot and program the step read from the run log,\n"
    "the seconds elapsed and the verdict, and for a verdict other than PASS the reason; it\n"
    "is redrawn in place on a terminal (fitted to its width) and written as plain lines (one\n"
    "whenever a row changes) otherwise. At the end the table is printed and one line per\n"
    "slot and program is appended to the CSV file: start, end, slot, program, mode, verdict,\n"
    "seconds, reason, working folder, USB serial number (a header line first when the file is new; "
    "a file with\n"
    "other columns is refused before the start).\n"
    "\n"
    "Verdicts: PASS (exit code 0 and the result file says PASS), FAIL, NO DEVICE, SKIPPED\n"
    "(an earlier program of the slot failed), ABORTED (the station was stopped).\n"
    "Ctrl-C, SIGINT, SIGTERM, SIGHUP, Ctrl-Break or closing the console window stop the\n"
    "station: no new run starts, the running ones are stopped and their result files\n"
    "removed, the table and the CSV lines are written. No program outlives the station.\n"
    "\n"
    "Shift mode (--continuous): each slot waits until a device is present at it (its DIAG\n"
    "port or its CD-ROM), runs the programs on it, shows the verdict until the device is taken\n"
    "out, then waits for the next one. A slot follows one device until it has left: it is\n"
    "named by the USB serial number it reports once it shows its DIAG port. The next program\n"
    "starts the moment the device is back from the one before; after a last reset the slot\n"
    "shows \"restarting: leave it in\" until it is back. Gone for over a second while a\n"
    "program runs (up to --removed-after for itemsmith's eject and reset), or another serial\n"
    "number at the slot, and the run is FAIL \"device removed\" or \"device swapped\"; the\n"
    "slot serves the next one. The table shows each slot's state and the devices done,\n"
    "passed, failed and per hour. The first Ctrl-C or SIGINT starts no new run and lets the\n"
    "running ones finish (exit code 0 then); a second one, SIGTERM, SIGHUP, Ctrl-Break or\n"
    "closing the console stops them ABORTED (exit code 3).\n"
    "\n"
    "Web view (--http), in either mode, read-only (only GET and HEAD; 405 otherwise), served\n"
    "on a thread of its own so that no client slows a slot; a port in use is a usage error:\n"
    "  /                   the page: a tile per slot (serial, state, verdict and reason), the\n"
    "                      totals, devices per quarter hour, the last 50 records\n"
    "  /api/slots          JSON: slot, serial, state, program, step, seconds, verdict, reason\n"
    "  /api/records?after=ID&limit=N\n"
    "                      JSON: the CSV file's records with an id (record n of the file)\n"
    "  /api/events         an event stream: slot changes, records as written, totals\n"
    "  /api/totals         JSON: devices done, passed, failed, per hour and per quarter hour\n"
    "  /runs/PATH          a file or folder under --work as text, nothing outside it\n"
    "\n"
    "Exit code 0 when every run on every slot passed, 1 otherwise, 2 on a usage error, 3 when\n"
    "the station was stopped, 4 when the CSV file could not be written.\n";

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool Fail(std::string* message, const std::string& text) {
  *message = text;
  return false;
}

// A value may not look like an option: a forgotten value would otherwise swallow the next
// option and the station would run with both wrong.
CLI::Validator ValueOf(const std::string& what) {
  return CLI::Validator(
      [what](std::string& text) {
        if (text.empty()) return "needs " + what;
        if (text[0] == '-') return "needs " + what + ", not " + text;
        return std::string();
      },
      "", what);
}

CLI::Validator SecondsFrom(uint32_t min) {
  const std::string range = "a number of seconds from " + std::to_string(min) + " to 999999";
  return CLI::Validator(
      [range, min](std::string& text) {
        const bool digits = !text.empty() && text.size() <= 6 &&
                            text.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoul(text) < min) return "needs " + range + ", not " + text;
        return std::string();
      },
      "", range);
}

// One value per use of the option; a repeated one-value option is a mistake, not a change.
CLI::Option* AddValue(CLI::App& app, const char* name, std::string* out, const char* what) {
  return app.add_option(name, *out)->check(ValueOf(what));
}

// PORT, ADDRESS:PORT or [IPV6]:PORT; whether the address is one of this PC is the bind's to say.
CLI::Validator AddressAndPort() {
  const std::string what = "[ADDRESS:]PORT with a port from 0 to 65535";
  return CLI::Validator(
      [what](std::string& text) {
        const size_t colon = text.rfind(':');
        const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
        const bool digits = !port.empty() && port.size() <= 5 &&
                            port.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoul(port) > 65535 || colon == 0)
          return "needs " + what + ", not " + text;
        return std::string();
      },
      "", what);
}

CLI::Option* AddSeconds(CLI::App& app, const char* name, uint32_t* out, uint32_t min) {
  return app.add_option(name, *out)->check(SecondsFrom(min));
}

CLI::Option* AddFlag(CLI::App& app, const char* name) {
  return app.add_flag(name)->disable_flag_override();
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* options, Request* request,
                  std::string* message) {
  *request = Request::kRun;
  CLI::App app;
  app.set_help_flag();
  const CLI::Option* help = AddFlag(app, "--help,-h");
  const CLI::Option* version = AddFlag(app, "--version");
  app.add_option("--slot", options->slots)
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->check(ValueOf("a USB location"));
  AddValue(app, "--template", &options->template_folder, "a folder");
  const CLI::Option* itemsmith = AddFlag(app, "--itemsmith");
  const CLI::Option* itemsmith_reset = AddFlag(app, "--itemsmith-reset");
  std::string treesmith_mode;
  const char kModes[] = "a mode: kvx, vexa or delete-dl";
  const CLI::Option* treesmith = AddValue(app, "--treesmith", &treesmith_mode, kModes);
  AddValue(app, "--work", &options->work_folder, "a folder");
  AddValue(app, "--csv", &options->csv_file, "a file");
  AddValue(app, "--programs", &options->programs_folder, "a folder");
  app.add_option("--http", options->http)
      ->check(ValueOf("[ADDRESS:]PORT"))
      ->check(AddressAndPort());
  AddSeconds(app, "--limit", &options->limit_seconds, 1);
  AddSeconds(app, "--presence-wait", &options->presence_wait_seconds, 0);
  AddSeconds(app, "--removed-after", &options->removed_after_seconds, 1);
  const CLI::Option* continuous = AddFlag(app, "--continuous");
  const CLI::Option* keep_going = AddFlag(app, "--keep-going");

  // CLI11 reads the last argument first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    return Fail(message, error.what());
  }
  if (help->count() > 0) {
    *request = Request::kHelp;
    return true;
  }
  if (version->count() > 0) {
    *request = Request::kVersion;
    return true;
  }
  options->continuous = continuous->count() > 0;
  options->keep_going = keep_going->count() > 0;

  if (itemsmith->count() + itemsmith_reset->count() > 1)
    return Fail(message, "itemsmith is asked for twice");
  if (itemsmith->count() + itemsmith_reset->count() == 1) {
    const bool reset = itemsmith_reset->count() == 1;
    Job job{Program::kItemsmith, reset ? "write+reset" : "write", {}, ""};
    // Exactly one argument asks itemsmith for the reset; its text does not matter.
    if (reset) job.arguments = {"reset"};
    options->jobs.push_back(job);
  }
  if (treesmith->count() > 0) {
    Job job{Program::kTreesmith, Lower(treesmith_mode), {}, ""};
    if (job.mode == "vexa") {
      job.arguments = {"--VEXA"};
    } else if (job.mode == "delete-dl") {
      job.arguments = {"--DeleteDLFile"};
    } else if (job.mode != "kvx") {
      return Fail(message, std::string("--treesmith needs ") + kModes + ", not " + treesmith_mode);
    }
    options->jobs.push_back(job);
  }
  if (options->slots.empty()) return Fail(message, "no --slot given");
  if (options->template_folder.empty()) return Fail(message, "--template is required");
  if (options->jobs.empty())
    return Fail(message, "nothing to run: give --itemsmith, --itemsmith-reset or --treesmith");
  return true;
}

}  // namespace station
