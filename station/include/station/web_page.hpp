// The web view's HTML: the station's page, whole in the program (a line PC fetches nothing from
// elsewhere), and the listing of a run's folder.
#pragma once

#include <string>
#include <vector>

namespace station {

// The page with `initial` (a JSON object: slots, totals, records, work) inside it, so that it
// shows the station at once; its script then follows /api/events.
std::string PageHtml(const std::string& initial);

struct FolderEntry {
  std::string name;
  bool folder = false;
};
// A folder under /runs/: `url_path` is its path as requested, ending in a slash.
std::string FolderListingHtml(const std::string& url_path, const std::vector<FolderEntry>& entries);

}  // namespace station
