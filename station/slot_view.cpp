#include "station/slot_view.hpp"

namespace station {

std::vector<Row> RowsOf(const std::vector<SlotView>& slots) {
  std::vector<Row> rows;
  for (const SlotView& slot : slots) rows.insert(rows.end(), slot.jobs.begin(), slot.jobs.end());
  return rows;
}

}  // namespace station
