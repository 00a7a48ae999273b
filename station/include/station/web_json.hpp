// The station as the web view's API and page read it: JSON texts of the slots, the totals and
// the records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "station/csv_reader.hpp"
#include "station/slot_view.hpp"

namespace station {

// `text` as a JSON string.
std::string JsonString(const std::string& text);

// waiting, running, restarting or done.
const char* StateOf(const SlotView& slot);

// One object: slot, serial, state, program, step, seconds, verdict, reason. A slot shows the
// job it is at: the running one, or once all have ended the first that did not pass (the last
// one when all passed); verdict and reason are that job's, "" while none is reached.
std::string SlotJson(const SlotView& slot);
std::string SlotsJson(const std::vector<SlotView>& slots);

// Devices done, passed and failed per quarter hour of the station's time, oldest first.
struct QuarterCount {
  uint32_t done = 0, failed = 0;
};
// Adds what `view` has done since `before` to the quarter hour it is in.
void CountQuarters(const StationView& before, const StationView& view,
                   std::vector<QuarterCount>* quarters);

// mode, done, passed, failed, seconds, per_hour and quarters ([done, failed] pairs).
std::string TotalsJson(const StationView& view, const std::vector<QuarterCount>& quarters);

// A record as an object: its id and the CSV header's columns as keys; fields beyond the columns
// are left out, missing ones are "".
std::string RecordJson(uint64_t id, const CsvFields& fields);
// The records with ids above `after` (record n has id n), at most `limit` of them.
std::string RecordsJson(const std::vector<CsvFields>& records, uint64_t after, uint64_t limit);

}  // namespace station
