// What the operator sees while a station runs, in either mode: on a terminal the table redrawn
// in place (with lines under it), otherwise one plain line whenever a row's step or verdict
// changes, and the table once more at the end.
#pragma once

#include <string>
#include <vector>

#include "station/record.hpp"
#include "station/slot_view.hpp"
#include "station/station.hpp"

namespace station {

class TableView {
 public:
  explicit TableView(const Surroundings& outside) : outside_(outside) {}

  // The slots keep their order from one call to the next.
  void Show(const std::vector<SlotView>& slots, const std::vector<std::string>& below = {});

  // The table as it ends, where the live one is not standing already.
  void Final(const std::vector<SlotView>& slots, const std::vector<std::string>& below = {});

 private:
  const Surroundings& outside_;
  std::vector<Row> shown_;
  size_t drawn_lines_ = 0;
};

}  // namespace station
