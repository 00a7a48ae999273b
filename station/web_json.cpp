#include "station/web_json.hpp"

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "station/record.hpp"

namespace station {
namespace {

using nlohmann::json;

// A device's bytes need not be UTF-8: they show replaced, and the dump never throws.
std::string Text(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The job a slot shows: see SlotJson.
const Row* ShownJob(const SlotView& slot) {
  if (slot.jobs.empty()) return nullptr;
  if (slot.phase == SlotView::Phase::kRunning) {
    for (const Row& row : slot.jobs) {
      if (row.verdict.empty()) return &row;
    }
    return &slot.jobs.back();
  }
  for (const Row& row : slot.jobs) {
    if (!row.verdict.empty() && row.verdict != "PASS") return &row;
  }
  return slot.jobs.back().verdict.empty() ? nullptr : &slot.jobs.back();
}

std::vector<std::string> Columns() {
  std::vector<std::string> columns(1);
  for (const char c : CsvHeader()) {
    if (c == ',') {
      columns.emplace_back();
    } else {
      columns.back().push_back(c);
    }
  }
  return columns;
}

json RecordObject(uint64_t id, const CsvFields& fields) {
  static const std::vector<std::string> columns = Columns();
  json object = {{"id", id}};
  for (size_t i = 0; i < columns.size(); ++i)
    object[columns[i]] = i < fields.size() ? fields[i] : std::string();
  return object;
}

json SlotObject(const SlotView& slot) {
  const Row* job = ShownJob(slot);
  const bool running = slot.phase == SlotView::Phase::kRunning;
  return {{"slot", slot.location},
          {"serial", slot.serial},
          {"state", StateOf(slot)},
          {"program", job != nullptr ? job->program : std::string()},
          {"step", slot.step.empty() && job != nullptr ? job->step : slot.step},
          {"seconds", running          ? slot.tenths / 10
                      : job != nullptr ? job->tenths / 10
                                       : 0},
          {"verdict", job != nullptr ? job->verdict : std::string()},
          {"reason", job != nullptr ? job->reason : std::string()}};
}

}  // namespace

std::string JsonString(const std::string& text) { return Text(text); }

const char* StateOf(const SlotView& slot) {
  switch (slot.phase) {
    case SlotView::Phase::kWaiting:
      return "waiting";
    case SlotView::Phase::kRunning:
      return "running";
    case SlotView::Phase::kRestarting:
      return "restarting";
    case SlotView::Phase::kDone:
      return "done";
  }
  return "waiting";
}

std::string SlotJson(const SlotView& slot) { return Text(SlotObject(slot)); }

std::string SlotsJson(const std::vector<SlotView>& slots) {
  json array = json::array();
  for (const SlotView& slot : slots) array.push_back(SlotObject(slot));
  return Text(array);
}

void CountQuarters(const StationView& before, const StationView& view,
                   std::vector<QuarterCount>* quarters) {
  if (view.done <= before.done && view.failed <= before.failed) return;
  const size_t quarter = view.seconds / 900;
  if (quarters->size() <= quarter) quarters->resize(quarter + 1);
  if (view.done > before.done) (*quarters)[quarter].done += view.done - before.done;
  if (view.failed > before.failed) (*quarters)[quarter].failed += view.failed - before.failed;
}

std::string TotalsJson(const StationView& view, const std::vector<QuarterCount>& quarters) {
  json pairs = json::array();
  for (const QuarterCount& quarter : quarters) pairs.push_back({quarter.done, quarter.failed});
  const double per_hour = view.seconds > 0 ? view.done * 3600.0 / view.seconds : 0.0;
  return Text({{"mode", view.shift ? "shift" : "batch"},
               {"done", view.done},
               {"passed", view.passed},
               {"failed", view.failed},
               {"seconds", view.seconds},
               {"per_hour", static_cast<uint32_t>(per_hour + 0.5)},
               {"quarters", pairs}});
}

std::string RecordJson(uint64_t id, const CsvFields& fields) {
  return Text(RecordObject(id, fields));
}

std::string RecordsJson(const std::vector<CsvFields>& records, uint64_t after, uint64_t limit) {
  json array = json::array();
  for (uint64_t id = after + 1; id <= records.size() && array.size() < limit; ++id)
    array.push_back(RecordObject(id, records[id - 1]));
  return Text(array);
}

}  // namespace station
