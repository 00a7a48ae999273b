// linestation --http against diagsim devices plugged and pulled by the test: the page and the
// API follow the station, records are numbered as the CSV file holds them (older ones of an
// earlier station included), the event stream tells of a record as it is written, and a port
// that is taken stops the station before anything starts.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/treesmith_harness.hpp"
#include "tests/support/eventually.hpp"
#include "tests/support/http_client.hpp"
#include "tests/support/station_programs.hpp"
#include "tests/support/station_records.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using treesmith_e2e::Child;

const char kHeader[] = "start,end,slot,program,mode,verdict,seconds,reason,folder,serial";
// Two records of an earlier station on the same file.
const char kEarlier[] =
    "2026-01-05 08:00:00,2026-01-05 08:01:00,1-7.1,itemsmith,write,PASS,60.0,,/old/a,OLD1\n"
    "2026-01-05 08:02:00,2026-01-05 08:03:00,1-7.1,itemsmith,write,FAIL,61.5,"
    "\"no answer, \"\"twice\"\"\",/old/b,\"OLD,2\"\n";

std::string Location(int slot) { return "1-7." + std::to_string(slot); }

char g_stderr_file[256];
void StderrToFile() {
  const int fd = open(g_stderr_file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) dup2(fd, 2);
}

class WebView : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/linestation-http-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    root_ = base_ + "/root";
    fs::create_directories(root_);
    fs::create_directories(base_ + "/template");
    std::ofstream(base_ + "/template/KVX_nvitem.txt") << "NV20:11,22\n";
    testsupport::LinkStationPrograms(base_ + "/bin");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  std::unique_ptr<Child> Plug(int slot, const std::string& serial) {
    auto child = std::make_unique<Child>();
    const bool started = child->Start({std::string(TEST_BINARY_DIR) + "/devicesim/diagsim",
                                       "--root", root_, "--com", std::to_string(40 + slot),
                                       "--usb-location", Location(slot), "--usb-serial", serial},
                                      "", {}, "") &&
                         child->WaitForOutput("diagsim: serving COM");
    EXPECT_TRUE(started);
    return child;
  }
  static void Pull(Child* device) {
    device->Signal(SIGTERM);
    device->Wait();
  }

  bool StartStation(Child* station, const std::string& http, const std::vector<int>& slots,
                    const std::string& mode = "--continuous") {
    std::vector<std::string> argv = {std::string(TEST_BINARY_DIR) + "/station/linestation",
                                     mode,
                                     "--itemsmith",
                                     "--template",
                                     base_ + "/template",
                                     "--programs",
                                     base_ + "/bin",
                                     "--work",
                                     Work(),
                                     "--csv",
                                     Csv(),
                                     "--limit",
                                     "120",
                                     "--http",
                                     http};
    for (const int slot : slots) argv.insert(argv.end(), {"--slot", Location(slot)});
    std::snprintf(g_stderr_file, sizeof g_stderr_file, "%s/stderr.txt", base_.c_str());
    return station->Start(argv, base_, {"DIAG_DEVICE_ROOT=" + root_}, base_ + "/station.txt",
                          StderrToFile);
  }
  // The port the station printed it serves on.
  int ServedPort() {
    std::string line;
    testsupport::Eventually(
        [&] {
          std::ifstream in(base_ + "/station.txt");
          std::getline(in, line);
          return line.find("http://") != std::string::npos && line.back() == '/';
        },
        10000);
    const std::string mark = "http://127.0.0.1:";
    const size_t at = line.find(mark);
    return at == std::string::npos ? 0 : std::atoi(line.c_str() + at + mark.size());
  }
  std::string Csv() const { return base_ + "/line.csv"; }
  std::string Work() const { return base_ + "/runs"; }

  std::string base_, root_;
};

json Get(int port, const std::string& target) {
  const testsupport::HttpAnswer answer = testsupport::Http(port, target);
  EXPECT_EQ(answer.status, 200) << target;
  return json::parse(answer.body, nullptr, false);
}

json SlotAt(int port, const std::string& location) {
  for (const json& slot : Get(port, "/api/slots")) {
    if (slot["slot"] == location) return slot;
  }
  return json();
}

TEST_F(WebView, ApiFollowsDevicesPluggedAndPulledAndEventsTellOfEachRecord) {
  std::ofstream(Csv()) << kHeader << "\n" << kEarlier;
  Child station;
  ASSERT_TRUE(StartStation(&station, "0", {1, 2}));
  const int port = ServedPort();
  ASSERT_GT(port, 0);

  // Both slots shown at once, waiting; the page carries them without waiting for an event.
  ASSERT_TRUE(testsupport::Eventually(
      [&] { return SlotAt(port, Location(2)).value("state", "") == "waiting"; }, 10000));
  EXPECT_EQ(SlotAt(port, Location(1))["state"], "waiting");
  const testsupport::HttpAnswer page = testsupport::Http(port, "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("\"slot\":\"1-7.2\""), std::string::npos);
  EXPECT_NE(page.body.find("OLD,2"), std::string::npos);

  const int events = testsupport::HttpSend(port, "GET", "/api/events");
  ASSERT_GE(events, 0);
  std::string stream;
  ASSERT_TRUE(testsupport::ReadUntil(events, &stream, "event: totals", 10000));
  EXPECT_NE(stream.find("Content-Type: text/event-stream"), std::string::npos);

  auto device = Plug(1, "SN-WEB-1");
  ASSERT_TRUE(testsupport::ReadUntil(events, &stream, "event: record", 60000)) << stream;
  ASSERT_TRUE(testsupport::ReadUntil(events, &stream, "\n\n", 5000));
  const size_t data = stream.find("data: ", stream.find("event: record"));
  const json written =
      json::parse(stream.substr(data + 6, stream.find('\n', data) - data - 6), nullptr, false);
  EXPECT_EQ(written["id"], 3);
  EXPECT_EQ(written["serial"], "SN-WEB-1");
  EXPECT_EQ(written["verdict"], "PASS");
  EXPECT_EQ(written["slot"], Location(1));
  // Before it, the slot was seen running under its serial number.
  EXPECT_NE(stream.find("\"serial\":\"SN-WEB-1\",\"slot\":\"1-7.1\",\"state\":\"running\""),
            std::string::npos);

  // The record is written as the run ends; the slot shows it done on the pass after.
  EXPECT_TRUE(testsupport::Eventually(
      [&] { return SlotAt(port, Location(1)).value("state", "") == "done"; }, 10000));
  const json slot = SlotAt(port, Location(1));
  EXPECT_EQ(slot["verdict"], "PASS");
  EXPECT_EQ(slot["serial"], "SN-WEB-1");
  EXPECT_EQ(slot["program"], "itemsmith");

  // The records as the file holds them, the earlier station's included, paged after an id.
  const json all = Get(port, "/api/records");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1]["reason"], "no answer, \"twice\"");
  EXPECT_EQ(all[1]["serial"], "OLD,2");
  EXPECT_EQ(all[2], written);
  EXPECT_EQ(Get(port, "/api/records?after=2"), json::array({written}));
  const json second = Get(port, "/api/records?after=1&limit=1");
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0]["id"], 2);
  EXPECT_EQ(Get(port, "/api/records?after=3"), json::array());
  EXPECT_EQ(testsupport::CsvRecords(Csv()).size(), 3u);

  // The run's files, a click away: its folder under the working folder, and its result in it.
  const std::string folder = written["folder"];
  ASSERT_EQ(folder.compare(0, Work().size() + 1, Work() + "/"), 0) << folder;
  const std::string runs = "/runs/" + folder.substr(Work().size() + 1) + "/";
  const testsupport::HttpAnswer listing = testsupport::Http(port, runs);
  EXPECT_EQ(listing.status, 200);
  EXPECT_NE(listing.body.find("KVX_WriteNVItem_result.txt"), std::string::npos);
  EXPECT_NE(testsupport::Http(port, runs + "KVX_WriteNVItem_result.txt").body.find("PASS"),
            std::string::npos);
  EXPECT_EQ(testsupport::Http(port, runs + "../../../line.csv").status, 404);

  // Taken out: the slot waits for the next device, and the stream says so.
  Pull(device.get());
  EXPECT_TRUE(testsupport::Eventually(
      [&] { return SlotAt(port, Location(1)).value("state", "") == "waiting"; }, 20000));
  EXPECT_TRUE(
      testsupport::ReadUntil(events, &stream, "\"slot\":\"1-7.1\",\"state\":\"waiting\"", 10000));
  close(events);

  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(), 0);
  // The station gone, nothing listens any more.
  EXPECT_EQ(testsupport::Http(port, "/api/slots").status, 0);
}

TEST_F(WebView, ATakenPortStopsTheStationBeforeAnythingStarts) {
  const int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  socklen_t length = sizeof address;
  getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string port = std::to_string(ntohs(address.sin_port));

  auto device = Plug(1, "SN-WEB-2");
  for (const std::string& http : {port, "127.0.0.1:" + port}) {
    SCOPED_TRACE(http);
    Child station;
    ASSERT_TRUE(StartStation(&station, http, {1}));
    EXPECT_EQ(station.Wait(), 2);
    std::ifstream in(base_ + "/stderr.txt");
    const std::string error((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(error.find('\n'), error.size() - 1) << error;
    EXPECT_NE(error.find("linestation: --http " + http), std::string::npos) << error;
    EXPECT_NE(error.find("port " + port + " (the port is in use)"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(Work())) << "no run started";
    EXPECT_FALSE(fs::exists(Csv()) && fs::file_size(Csv()) > 0) << "nothing recorded";
  }
  Pull(device.get());
  close(taken);
}

// A batch writes its records as its last run ends, just before the station ends: they reach a
// client that is watching, and then its stream ends.
TEST_F(WebView, ABatchsRecordReachesTheStreamWhichEndsWithTheStation) {
  // A stand-in itemsmith that passes once the test lets it.
  fs::remove(base_ + "/bin/itemsmith");
  const std::string go = base_ + "/go";
  std::ofstream(base_ + "/bin/itemsmith")
      << "#!/bin/sh\nwhile [ ! -e '" << go << "' ]; do sleep 0.05; done\n"
      << "printf '[WriteNVItem PASS]\\r\\n' > KVX_WriteNVItem_result.txt\n";
  chmod((base_ + "/bin/itemsmith").c_str(), 0755);
  auto device = Plug(1, "SN-WEB-3");
  Child station;
  ASSERT_TRUE(StartStation(&station, "0", {1}, "--keep-going"));
  const int port = ServedPort();
  ASSERT_GT(port, 0);
  const int events = testsupport::HttpSend(port, "GET", "/api/events");
  ASSERT_GE(events, 0);
  std::string stream;
  ASSERT_TRUE(testsupport::ReadUntil(events, &stream, "\"state\":\"running\"", 20000)) << stream;
  std::ofstream(go) << "go";
  EXPECT_EQ(station.Wait(), 0);
  EXPECT_TRUE(testsupport::ReadUntil(events, &stream, "", 5000)) << "the stream ends";
  EXPECT_NE(stream.find("event: record\ndata: {\"end\""), std::string::npos) << stream;
  EXPECT_NE(stream.find("\"serial\":\"SN-WEB-3\""), std::string::npos);
  close(events);
  Pull(device.get());
}

}  // namespace
