#include "common/treesmith_contract.hpp"

#include <iterator>

namespace common::treesmith {

std::string OpenedStep(const std::string& line) {
  static const std::string kOpen = "===== ", kClose = " + =====";
  if (line.size() > kOpen.size() + kClose.size() && line.compare(0, kOpen.size(), kOpen) == 0 &&
      line.compare(line.size() - kClose.size(), kClose.size(), kClose) == 0) {
    return line.substr(kOpen.size(), line.size() - kOpen.size() - kClose.size());
  }
  return "";
}

std::vector<std::string> LocalUploads(Mode mode) {
  if (mode == Mode::kDeleteDl) return {};
  std::vector<std::string> uploads = {kAppsFolder};
  if (mode == Mode::kKvx) {
    uploads.insert(uploads.end(), std::begin(kKvxWebFolders), std::end(kKvxWebFolders));
  } else {
    uploads.insert(uploads.end(), std::begin(kVexaWebFolders), std::end(kVexaWebFolders));
  }
  std::string phone_file = kPhoneFile.local;
  phone_file[phone_file.find('\\')] = '/';
  uploads.push_back(phone_file);
  const std::vector<FixedUpload> fixed =
      mode == Mode::kKvx ? std::vector<FixedUpload>{kSms, kUeUsage, kAcqdb, kFgi}
                         : std::vector<FixedUpload>{kMtu, kAcqdb, kFgi};
  for (const FixedUpload& upload : fixed) uploads.push_back(upload.local);
  return uploads;
}

}  // namespace common::treesmith
