// linestation's command line.
#include <cctype>
#include <string>
#include <vector>

#include "station/station.hpp"

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
    "                      shift mode: a device gone from its slot this long in the middle of\n"
    "                      its run was pulled out (default 30; shorter gaps are its own eject\n"
    "                      or reset)\n"
    "  --keep-going        run a slot's next program even after its first one failed\n"
    "                      (otherwise the next one is SKIPPED)\n"
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
    "out, then waits for the next one; a device left in its slot is not run again (nor one\n"
    "that comes back with the same USB serial number within --removed-after, as after its\n"
    "reset). The slots never wait for each other. Every device is recorded by its USB serial\n"
    "number: one CSV line per device and program, appended as its run ends. A device gone in\n"
    "the middle of its run for longer than --removed-after is FAIL \"device removed\" and the\n"
    "slot serves the next one. The table shows each slot's state and the devices done,\n"
    "passed, failed and per hour. The first Ctrl-C or SIGINT starts no new run and lets the\n"
    "running ones finish (exit code 0 then); a second one, SIGTERM, SIGHUP, Ctrl-Break or\n"
    "closing the console stops them ABORTED (exit code 3).\n"
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

bool SecondsFrom(const std::string& text, uint32_t min, uint32_t* out) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long n = std::stoul(text);
  if (n < min) return false;
  *out = static_cast<uint32_t>(n);
  return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* options, Request* request,
                  std::string* message) {
  *request = Request::kRun;
  bool itemsmith = false, treesmith = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    // --option=value is the option with its value.
    std::string joined;
    bool has_joined = false;
    const size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      joined = arg.substr(equals + 1);
      arg.erase(equals);
      has_joined = true;
    }
    // A value may not look like an option: a forgotten value would otherwise swallow the next
    // option and the station would run with both wrong.
    auto value = [&](const char* what, std::string* out) {
      std::string text;
      if (has_joined) {
        text = joined;
      } else if (i + 1 < args.size()) {
        text = args[++i];
      } else {
        return Fail(message, arg + " needs " + what);
      }
      if (text.empty()) return Fail(message, arg + " needs " + what);
      if (text[0] == '-') return Fail(message, arg + " needs " + what + ", not " + text);
      *out = text;
      return true;
    };
    auto flag = [&]() { return has_joined ? Fail(message, arg + " takes no value") : true; };
    std::string text;
    if (arg == "--help" || arg == "-h") {
      if (!flag()) return false;
      *request = Request::kHelp;
      return true;
    } else if (arg == "--version") {
      if (!flag()) return false;
      *request = Request::kVersion;
      return true;
    } else if (arg == "--slot") {
      if (!value("a USB location", &text)) return false;
      options->slots.push_back(text);
    } else if (arg == "--template") {
      if (!value("a folder", &options->template_folder)) return false;
    } else if (arg == "--itemsmith" || arg == "--itemsmith-reset") {
      if (!flag()) return false;
      if (itemsmith) return Fail(message, "itemsmith is asked for twice");
      itemsmith = true;
      const bool reset = arg == "--itemsmith-reset";
      Job job{Program::kItemsmith, reset ? "write+reset" : "write", {}, ""};
      // Exactly one argument asks itemsmith for the reset; its text does not matter.
      if (reset) job.arguments = {"reset"};
      options->jobs.insert(options->jobs.begin(), job);
    } else if (arg == "--treesmith") {
      if (treesmith) return Fail(message, "treesmith is asked for twice");
      treesmith = true;
      const char kModes[] = "a mode: kvx, vexa or delete-dl";
      if (!value(kModes, &text)) return false;
      Job job{Program::kTreesmith, Lower(text), {}, ""};
      if (job.mode == "vexa") {
        job.arguments = {"--VEXA"};
      } else if (job.mode == "delete-dl") {
        job.arguments = {"--DeleteDLFile"};
      } else if (job.mode != "kvx") {
        return Fail(message, std::string("--treesmith needs ") + kModes + ", not " + text);
      }
      options->jobs.push_back(job);
    } else if (arg == "--work") {
      if (!value("a folder", &options->work_folder)) return false;
    } else if (arg == "--csv") {
      if (!value("a file", &options->csv_file)) return false;
    } else if (arg == "--programs") {
      if (!value("a folder", &options->programs_folder)) return false;
    } else if (arg == "--limit") {
      if (!value("a number of seconds", &text)) return false;
      if (!SecondsFrom(text, 1, &options->limit_seconds))
        return Fail(message, "--limit needs a number of seconds from 1 to 999999, not " + text);
    } else if (arg == "--presence-wait") {
      if (!value("a number of seconds", &text)) return false;
      if (!SecondsFrom(text, 0, &options->presence_wait_seconds))
        return Fail(message,
                    "--presence-wait needs a number of seconds from 0 to 999999, not " + text);
    } else if (arg == "--continuous") {
      if (!flag()) return false;
      options->continuous = true;
    } else if (arg == "--removed-after") {
      if (!value("a number of seconds", &text)) return false;
      if (!SecondsFrom(text, 1, &options->removed_after_seconds))
        return Fail(message,
                    "--removed-after needs a number of seconds from 1 to 999999, not " + text);
    } else if (arg == "--keep-going") {
      if (!flag()) return false;
      options->keep_going = true;
    } else {
      return Fail(message, "unknown option " + args[i]);
    }
  }
  if (options->slots.empty()) return Fail(message, "no --slot given");
  if (options->template_folder.empty()) return Fail(message, "--template is required");
  if (options->jobs.empty())
    return Fail(message, "nothing to run: give --itemsmith, --itemsmith-reset or --treesmith");
  return true;
}

}  // namespace station
