// The web view's parts: what it escapes, which files it serves, the JSON it gives of slots and
// records, and the server itself, which must never make the station wait for a client.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "station/csv_reader.hpp"
#include "station/record.hpp"
#include "station/run_files.hpp"
#include "station/web_escape.hpp"
#include "station/web_json.hpp"
#include "station/web_page.hpp"
#include "station/web_server.hpp"
#include "tests/support/eventually.hpp"
#include "tests/support/http_client.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using station::SlotView;

const char kMarkup[] = "<img src=x onerror=alert(1)>";

class Folder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/web-view-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }
  std::string base_;
};

TEST(WebEscape, MarkupShowsAsTextWhereverItIsPut) {
  EXPECT_EQ(station::HtmlEscaped(kMarkup), "&lt;img src=x onerror=alert(1)&gt;");
  EXPECT_EQ(station::HtmlEscaped("a&b \"c\" 'd'"), "a&amp;b &quot;c&quot; &#39;d&#39;");
  EXPECT_EQ(station::HtmlEscaped("plain 1-2.3"), "plain 1-2.3");
  EXPECT_EQ(station::UrlPathEncoded("a b/<c>&\"%"), "a%20b/%3Cc%3E%26%22%25");

  // Inside a script element nothing can close it or open a comment, and the JSON reads the same.
  const std::string nasty = std::string("</script><script>alert(1)</script><!-- & ") + kMarkup;
  const std::string text = json({{"serial", nasty}}).dump();
  const std::string safe = station::JsonForScript(text);
  EXPECT_EQ(safe.find('<'), std::string::npos);
  EXPECT_EQ(safe.find('>'), std::string::npos);
  EXPECT_EQ(json::parse(safe)["serial"], nasty);
  const std::string page = station::PageHtml(safe);
  EXPECT_EQ(page.find(kMarkup), std::string::npos);
  EXPECT_EQ(page.find("</script><script>alert"), std::string::npos);
}

TEST(WebEscape, AFolderListingShowsNamesAsTextAndLinksThemEncoded) {
  const std::string html =
      station::FolderListingHtml("/runs/a/", {{kMarkup, false}, {"x\" onclick=\"y", true}});
  EXPECT_EQ(html.find(kMarkup), std::string::npos);
  EXPECT_EQ(html.find("\" onclick"), std::string::npos);
  EXPECT_NE(html.find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);
  EXPECT_NE(html.find("href=\"./%3Cimg%20src%3Dx%20onerror%3Dalert%281%29%3E\""),
            std::string::npos);
}

TEST_F(Folder, RunFilesAreServedFromInsideTheWorkingFolderOnly) {
  const std::string work = base_ + "/work";
  fs::create_directories(work + "/run one");
  fs::create_directories(base_ + "/outside");
  std::ofstream(work + "/run one/log.txt") << "log";
  std::ofstream(base_ + "/outside/secret.txt") << "secret";
  fs::create_directory_symlink("../outside", work + "/away");
  fs::create_symlink(base_ + "/outside/secret.txt", work + "/run one/secret.txt");
  fs::create_symlink("log.txt", work + "/run one/same.txt");
  const std::string log = fs::canonical(work + "/run one/log.txt").string();
  struct Case {
    std::string path;
    std::string found;  // "" for refused
  };
  const Case cases[] = {
      {"run%20one/log.txt", log},
      {"run%20one/same.txt", log},  // a link that stays inside
      {"run%20one/./log.txt", log},
      {"%72un%20one/log.txt", log},
      {"run%20one/", fs::canonical(work + "/run one").string()},
      {"../outside/secret.txt", ""},
      {"run%20one/../../outside/secret.txt", ""},
      {"%2e%2e/outside/secret.txt", ""},
      {"%2E%2E%2Foutside%2Fsecret.txt", ""},
      {".%2e/outside/secret.txt", ""},
      {"run%20one/%2e%2e/%2e%2e/outside/secret.txt", ""},
      {"/etc/passwd", ""},
      {"%2fetc%2fpasswd", ""},
      {"away/secret.txt", ""},
      {"run%20one/secret.txt", ""},
      {"run%20one\\..\\..\\outside\\secret.txt", ""},
      {"run%20one%5c..%5c..%5coutside%5csecret.txt", ""},
      {"C:/Windows/win.ini", ""},
      {"run%20one/log.txt%00.html", ""},
      {"run%20one/%zz", ""},
      {"run%20one/%2", ""},
      {"missing.txt", ""},
  };
  for (const Case& c : cases) {
    std::string found;
    const bool served = station::RunFileAt(work, c.path, &found);
    EXPECT_EQ(served, !c.found.empty()) << c.path;
    if (served) {
      EXPECT_EQ(found, c.found) << c.path;
    }
  }
  std::string found;
  EXPECT_FALSE(station::RunFileAt(base_ + "/none", "x", &found));
}

// The writer's lines read back field for field, whatever the fields hold.
TEST(CsvRecords, WhatTheWriterWritesTheReaderReadsBack) {
  const std::vector<std::string> nasty = {"",     "plain",      "a,b",      "say \"no\"", "\"",
                                          ",\",", "two\nlines", "crlf\r\n", kMarkup};
  for (const std::string& text : nasty) {
    station::Row row;
    row.slot = "1-" + text;
    row.program = "itemsmith";
    row.mode = "write";
    row.verdict = "FAIL";
    row.reason = text;
    row.folder = "/runs/" + text;
    row.serial = text;
    row.tenths = 123;
    const auto lines = station::ParseCsv(station::CsvLine(row) + "\n");
    ASSERT_EQ(lines.size(), 1u) << text;
    const std::vector<std::string> expected = {"0000-00-00 00:00:00",
                                               "0000-00-00 00:00:00",
                                               row.slot,
                                               "itemsmith",
                                               "write",
                                               "FAIL",
                                               "12.3",
                                               text,
                                               row.folder,
                                               text};
    EXPECT_EQ(lines[0], expected) << text;
  }
}

TEST_F(Folder, RecordsAreNumberedAsTheFileHoldsThemAndPagedAfterAnId) {
  const std::string csv = base_ + "/records.csv";
  // Line ends of either kind, an empty line, a quoted line end, and a last line still being
  // written, which is no record yet.
  std::ofstream(csv)
      << station::CsvHeader() << "\r\n"
      << "s1,e1,1-1,itemsmith,write,PASS,1.0,,/w/a,SN1\r\n"
      << "\n"
      << "s2,e2,1-2,treesmith,kvx,FAIL,2.5,\"no, \"\"root\"\"\nat all\",/w/b,\"S,N\"\n"
      << "s3,e3,1-3,itemsmith,write,NO DEVICE,15.0,nothing,,\n"
      << "s4,e4,1-4,itemsmith,write,PASS,1.0,\"cut";
  const auto records = station::ReadCsvRecords(csv);
  ASSERT_EQ(records.size(), 3u);
  const json all = json::parse(station::RecordsJson(records, 0, 100));
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1]["id"], 2);
  EXPECT_EQ(all[0]["serial"], "SN1");
  EXPECT_EQ(all[1]["reason"], "no, \"root\"\nat all");
  EXPECT_EQ(all[1]["serial"], "S,N");
  EXPECT_EQ(all[1]["seconds"], "2.5");
  // Every column of the header is a key, and nothing else but the id.
  for (const auto& record : all) {
    EXPECT_EQ(record.size(), 11u);
    for (const char* key : {"id", "start", "end", "slot", "program", "mode", "verdict", "seconds",
                            "reason", "folder", "serial"})
      EXPECT_TRUE(record.contains(key)) << key;
  }
  struct Page {
    uint64_t after, limit;
    std::vector<int> ids;
  };
  for (const Page& page : {Page{0, 2, {1, 2}}, Page{2, 100, {3}}, Page{1, 1, {2}}, Page{3, 100, {}},
                           Page{99, 5, {}}, Page{0, 0, {}}}) {
    std::vector<int> ids;
    for (const auto& record : json::parse(station::RecordsJson(records, page.after, page.limit)))
      ids.push_back(record["id"]);
    EXPECT_EQ(ids, page.ids) << page.after << " " << page.limit;
  }
}

station::Row JobRow(const std::string& program, const std::string& verdict,
                    const std::string& reason = "") {
  station::Row row;
  row.program = program;
  row.verdict = verdict;
  row.reason = reason;
  row.step = verdict.empty() ? "writing" : "done";
  row.tenths = 42;
  return row;
}

TEST(SlotJson, EachSlotShowsTheJobItIsAtOrTheOneThatDecidedIt) {
  struct Case {
    SlotView::Phase phase;
    std::vector<station::Row> jobs;
    std::string state, program, verdict, reason;
  };
  using P = SlotView::Phase;
  const Case cases[] = {
      {P::kWaiting, {JobRow("itemsmith", ""), JobRow("treesmith", "")}, "waiting", "", "", ""},
      {P::kRunning,
       {JobRow("itemsmith", "PASS"), JobRow("treesmith", "")},
       "running",
       "treesmith",
       "",
       ""},
      {P::kRestarting, {JobRow("itemsmith", "PASS")}, "restarting", "itemsmith", "PASS", ""},
      {P::kDone,
       {JobRow("itemsmith", "PASS"), JobRow("treesmith", "PASS")},
       "done",
       "treesmith",
       "PASS",
       ""},
      {P::kDone,
       {JobRow("itemsmith", "FAIL", "no answer"), JobRow("treesmith", "SKIPPED", "earlier")},
       "done",
       "itemsmith",
       "FAIL",
       "no answer"},
      {P::kDone,
       {JobRow("itemsmith", "NO DEVICE", "nothing at the slot")},
       "done",
       "itemsmith",
       "NO DEVICE",
       "nothing at the slot"},
      {P::kDone,
       {JobRow("itemsmith", "PASS"), JobRow("treesmith", "ABORTED", "SIGTERM")},
       "done",
       "treesmith",
       "ABORTED",
       "SIGTERM"},
  };
  std::vector<SlotView> slots;
  for (const Case& c : cases) {
    SlotView slot;
    slot.location = "1-" + std::to_string(slots.size());
    slot.phase = c.phase;
    slot.serial = kMarkup;
    slot.step = c.phase == P::kRunning ? "writing" : "";
    slot.tenths = 75;
    slot.jobs = c.jobs;
    slots.push_back(slot);
  }
  const json all = json::parse(station::SlotsJson(slots));
  ASSERT_EQ(all.size(), slots.size());
  for (size_t i = 0; i < slots.size(); ++i) {
    const Case& c = cases[i];
    const json& slot = all[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(slot.size(), 8u);
    EXPECT_EQ(slot["slot"], slots[i].location);
    EXPECT_EQ(slot["serial"], kMarkup);
    EXPECT_EQ(slot["state"], c.state);
    EXPECT_EQ(slot["program"], c.program);
    EXPECT_EQ(slot["verdict"], c.verdict);
    EXPECT_EQ(slot["reason"], c.reason);
    EXPECT_EQ(slot["seconds"], c.phase == P::kRunning ? 7 : c.program.empty() ? 0 : 4);
  }
  // A device's bytes need not be text: they are replaced, never a failure.
  SlotView odd;
  odd.serial = "\xff\xfe";
  EXPECT_NO_THROW(json::parse(station::SlotJson(odd)));
}

TEST(Totals, DevicesAreCountedInTheQuarterHourTheyEnded) {
  std::vector<station::QuarterCount> quarters;
  station::StationView before, view;
  auto pass = [&](uint32_t seconds, uint32_t done, uint32_t failed) {
    view.seconds = seconds;
    view.done = done;
    view.failed = failed;
    view.passed = done - failed;
    station::CountQuarters(before, view, &quarters);
    before = view;
  };
  pass(10, 1, 0);
  pass(899, 3, 1);
  pass(1000, 3, 1);  // nothing new
  pass(2800, 5, 1);
  ASSERT_EQ(quarters.size(), 4u);
  const json totals = json::parse(station::TotalsJson(view, quarters));
  EXPECT_EQ(totals["quarters"], json::parse("[[3,1],[0,0],[0,0],[2,0]]"));
  EXPECT_EQ(totals["done"], 5);
  EXPECT_EQ(totals["failed"], 1);
  EXPECT_EQ(totals["per_hour"], 6);  // 5 in 2800 s
}

class Server : public Folder {
 protected:
  std::unique_ptr<station::WebServer> Open(size_t queued = 256) {
    std::string message;
    auto server = station::WebServer::Open(
        {"127.0.0.1:0", base_ + "/work", base_ + "/records.csv", queued}, &message);
    EXPECT_NE(server, nullptr) << message;
    return server;
  }
  static int Port(const station::WebServer& server) {
    const std::string url = server.Url();
    return std::atoi(url.substr(url.rfind(':') + 1).c_str());
  }
};

TEST_F(Server, AnswersOnlyReadsAndKnowsNoOtherPaths) {
  fs::create_directories(base_ + "/work/run");
  std::ofstream(base_ + "/work/run/log.txt") << kMarkup;
  std::ofstream(base_ + "/secret.txt") << "secret";
  auto server = Open();
  server->Start();
  const int port = Port(*server);
  struct Case {
    std::string method, target;
    int status;
    std::string type;
  };
  const Case cases[] = {
      {"GET", "/", 200, "text/html"},
      {"GET", "/api/slots", 200, "application/json"},
      {"GET", "/api/records?after=0&limit=5", 200, "application/json"},
      {"GET", "/api/records?after=x", 400, "text/plain"},
      {"GET", "/runs/run/log.txt", 200, "text/plain"},
      {"GET", "/runs/run/", 200, "text/html"},
      {"GET", "/runs/run", 301, "text/plain"},
      {"GET", "/runs/%2e%2e/secret.txt", 404, "text/plain"},
      {"GET", "/nothing", 404, "text/plain"},
      {"POST", "/api/slots", 405, "text/plain"},
      {"PUT", "/runs/run/log.txt", 405, "text/plain"},
      {"DELETE", "/api/records", 405, "text/plain"},
  };
  for (const Case& c : cases) {
    const testsupport::HttpAnswer answer = testsupport::Http(port, c.target, c.method);
    EXPECT_EQ(answer.status, c.status) << c.method << " " << c.target;
    EXPECT_NE(answer.head.find("Content-Type: " + c.type), std::string::npos) << c.target;
    EXPECT_NE(answer.head.find("X-Content-Type-Options: nosniff"), std::string::npos);
  }
  // Served as it is, and the PUT changed nothing.
  EXPECT_EQ(testsupport::Http(port, "/runs/run/log.txt").body, kMarkup);
}

TEST_F(Server, ATakenPortIsRefusedWithOneLine) {
  auto first = Open();
  std::string message;
  const std::string taken = "127.0.0.1:" + std::to_string(Port(*first));
  EXPECT_EQ(station::WebServer::Open({taken, base_, base_ + "/r.csv"}, &message), nullptr);
  EXPECT_NE(message.find(taken.substr(10)), std::string::npos);
  EXPECT_EQ(message.find('\n'), std::string::npos);
  EXPECT_EQ(station::WebServer::Open({"10.0.0.300:80", base_, base_ + "/r.csv"}, &message),
            nullptr);
}

// A client that reads nothing fills its queue and is dropped; the station's hooks never wait on
// it, and a client that reads keeps getting every change.
TEST_F(Server, AClientThatDoesNotKeepUpIsDroppedAndNeverSlowsTheStation) {
  auto server = Open(32);
  server->Start();
  const int port = Port(*server);
  const int stalled = testsupport::HttpSend(port, "GET", "/api/events");
  ASSERT_GE(stalled, 0);
  const int size = 1 << 16;
  setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  const int reading = testsupport::HttpSend(port, "GET", "/api/events");
  ASSERT_GE(reading, 0);
  std::string seen;
  ASSERT_TRUE(testsupport::ReadUntil(reading, &seen, "event: totals", 5000));

  station::StationView view;
  view.slots.resize(1);
  view.slots[0].location = "1-1";
  const std::string bulk(64 * 1024, 'x');  // fills socket buffers quickly
  std::chrono::steady_clock::duration slowest{};
  for (int i = 0; i < 400; ++i) {
    view.slots[0].serial = std::to_string(i) + "-" + bulk;
    const auto before = std::chrono::steady_clock::now();
    server->Show(view);
    slowest = std::max(slowest, std::chrono::steady_clock::now() - before);
    // The reading client takes each change as it comes, as a browser does.
    const std::string mark = "\"serial\":\"" + std::to_string(i) + "-";
    ASSERT_TRUE(testsupport::ReadUntil(reading, &seen, mark, 10000)) << i;
    seen.erase(0, seen.find(mark) + mark.size());
  }
  EXPECT_LT(slowest, std::chrono::milliseconds(100));
  // The stalled one was dropped: after what its buffers held, the stream ends.
  std::string stalled_text;
  EXPECT_TRUE(testsupport::ReadUntil(stalled, &stalled_text, "", 20000));
  EXPECT_EQ(stalled_text.find("\"serial\":\"399-"), std::string::npos);
  close(stalled);
  close(reading);
}

}  // namespace
