#include "service/traffic_log.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kavor2::service {
namespace {

namespace fs = std::filesystem;
using std::chrono::system_clock;

const std::string kStem = "kavor2srv";

// A local time, so the weekday and the date do not depend on the zone the
// tests run in.
system_clock::time_point LocalTime(int year, int month, int day, int hour, int minute = 0, int second = 0) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return system_clock::from_time_t(std::mktime(&t));
}

// 2024-03-04 was a Monday.
const system_clock::time_point kMonday = LocalTime(2024, 3, 4, 12);

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void SetModified(const fs::path& file, system_clock::time_point when) {
  timespec times[2]{};
  times[0].tv_sec = times[1].tv_sec = system_clock::to_time_t(when);
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

class TrafficLogFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("k2-traffic-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A log on a clock the test moves, with the English day names.
  std::unique_ptr<TTrafficLog> MakeLog() {
    return std::make_unique<TTrafficLog>(dir_, kStem, [this] { return now_.load(); }, "C");
  }
  fs::path DayFile(const std::string& day) const { return dir_ / (kStem + "_XMLRPC_" + day + ".Log"); }
  std::string Header(const std::string& kind, const std::string& time, const std::string& peer, int port) const {
    return kind + " (" + time + ") : " + peer + " : " + std::to_string(port) + "\n\r";
  }

  fs::path dir_;
  std::atomic<system_clock::time_point> now_{kMonday};
};

TEST(TrafficLogNames, WeekdayNamesOfTheLocale) {
  const char* const english[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  for (int day = 0; day < 7; ++day) EXPECT_EQ(LocaleWeekdayName(day, "C"), english[day]) << day;
  // A locale that is not installed falls back to the C names rather than none.
  EXPECT_EQ(LocaleWeekdayName(1, "xx_NOWHERE.UTF-8"), "Monday");
  EXPECT_EQ(TrafficLogFileName("/var/lib/k2", "kavor2srv", "Monday"),
            fs::path("/var/lib/k2/kavor2srv_XMLRPC_Monday.Log"));
}

TEST(TrafficLogRecord, HeaderAndBodyBytes) {
  EXPECT_EQ(TrafficRecord(kServerTraffic, "04.03.24 12:00:00 042", "127.0.0.1", 5123, "<a/>"),
            "Server (04.03.24 12:00:00 042) : 127.0.0.1 : 5123\x0A\x0D<a/>");
  EXPECT_EQ(TrafficRecord(kClientTraffic, "04.03.24 12:00:00 042", "host.example", 8121, ""),
            "Client (04.03.24 12:00:00 042) : host.example : 8121\x0A\x0D"
            " \xCE\xF8\xE8\xE1\xEA\xE0 \xEF\xE5\xF0\xE5\xE4\xE0\xF7\xE8 ");

  struct Case {
    std::string xml;
    std::string body;
  };
  const Case cases[] = {
      {"a\n\r\n\rb", "a\n\rb"},
      {"\n\r\n\r\n\r", "\n\r\n\r"},          // one pass: what a replacement leaves is not looked at again
      {"\n\r\n\r\n\r\n\r", "\n\r\n\r"},
      {"a\r\n\r\nb", "a\r\n\r\nb"},          // CR LF is left alone
      {"a\n\rb\n\r", "a\n\rb\n\r"},          // single LF CR too
      {"\n\r\n", "\n\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(TrafficBody(c.xml), c.body) << ::testing::PrintToString(c.xml);
}

TEST_F(TrafficLogFiles, WritesTodaysWeekdayFileRecordAfterRecord) {
  now_ = kMonday + std::chrono::milliseconds(7);
  auto log = MakeLog();
  log->Open();
  ASSERT_TRUE(log->IsOpen());
  EXPECT_EQ(log->FileName(), DayFile("Monday").string());
  log->WriteServer("<req>\n\r\n\r</req>", "127.0.0.1", 40001);
  log->WriteClient("", "10.0.0.5", 8121);
  log->Close();
  log->WriteServer("<late/>", "127.0.0.1", 40001);  // nothing after Close

  EXPECT_EQ(ReadAll(DayFile("Monday")), Header("Server", "04.03.24 12:00:00 007", "127.0.0.1", 40001) +
                                            "<req>\n\r</req>" +
                                            Header("Client", "04.03.24 12:00:00 007", "10.0.0.5", 8121) +
                                            std::string(kEmptyTrafficBody));
}

TEST_F(TrafficLogFiles, SameDayAppendsAndTheWeekdayAWeekLaterStartsEmpty) {
  {
    auto log = MakeLog();
    log->Open();
    log->WriteServer("<first/>", "127.0.0.1", 1);
  }
  SetModified(DayFile("Monday"), kMonday);
  now_ = kMonday + std::chrono::hours(3);  // a restart later the same day
  {
    auto log = MakeLog();
    log->Open();
    log->WriteServer("<second/>", "127.0.0.1", 1);
  }
  std::string same_day = ReadAll(DayFile("Monday"));
  EXPECT_NE(same_day.find("<first/>"), std::string::npos);
  EXPECT_NE(same_day.find("<second/>"), std::string::npos);

  SetModified(DayFile("Monday"), kMonday);
  now_ = kMonday + std::chrono::hours(24 * 7);
  {
    auto log = MakeLog();
    log->Open();
    // Emptied at the open already, before anything is written.
    EXPECT_EQ(fs::file_size(DayFile("Monday")), 0u);
    log->WriteServer("<next week/>", "127.0.0.1", 1);
  }
  EXPECT_EQ(ReadAll(DayFile("Monday")), Header("Server", "11.03.24 12:00:00 000", "127.0.0.1", 1) + "<next week/>");
}

TEST_F(TrafficLogFiles, RunningLogFollowsTheDays) {
  auto log = MakeLog();
  log->Open();
  log->WriteServer("<monday/>", "127.0.0.1", 1);
  now_ = LocalTime(2024, 3, 5, 0, 0, 1);
  log->WriteServer("<tuesday/>", "127.0.0.1", 1);
  EXPECT_EQ(log->FileName(), DayFile("Tuesday").string());
  EXPECT_EQ(ReadAll(DayFile("Monday")), Header("Server", "04.03.24 12:00:00 000", "127.0.0.1", 1) + "<monday/>");
  EXPECT_EQ(ReadAll(DayFile("Tuesday")), Header("Server", "05.03.24 00:00:01 000", "127.0.0.1", 1) + "<tuesday/>");

  // Traffic on Tuesdays only: the file is still started afresh a week later.
  SetModified(DayFile("Tuesday"), LocalTime(2024, 3, 5, 0, 0, 1));
  now_ = LocalTime(2024, 3, 12, 9);
  log->WriteServer("<a week on/>", "127.0.0.1", 1);
  EXPECT_EQ(ReadAll(DayFile("Tuesday")), Header("Server", "12.03.24 09:00:00 000", "127.0.0.1", 1) + "<a week on/>");
}

TEST_F(TrafficLogFiles, StopsQuietlyForTheRestOfTheRunAfterAFailure) {
  auto log = MakeLog();
  log->Open();
  log->WriteServer("<monday/>", "127.0.0.1", 1);
  // Tuesday's file cannot be opened: a folder stands in its place.
  fs::create_directory(DayFile("Tuesday"));
  now_ = LocalTime(2024, 3, 5, 10);
  log->WriteServer("<tuesday/>", "127.0.0.1", 1);
  EXPECT_FALSE(log->IsOpen());
  now_ = LocalTime(2024, 3, 6, 10);
  log->WriteServer("<wednesday/>", "127.0.0.1", 1);
  EXPECT_FALSE(fs::exists(DayFile("Wednesday")));
  EXPECT_EQ(ReadAll(DayFile("Monday")), Header("Server", "04.03.24 12:00:00 000", "127.0.0.1", 1) + "<monday/>");

  // A folder that does not exist: the log never starts, and nothing throws.
  TTrafficLog missing(dir_ / "no" / "such", kStem, [this] { return now_.load(); }, "C");
  missing.Open();
  EXPECT_FALSE(missing.IsOpen());
  missing.WriteClient("<x/>", "h", 1);
  EXPECT_FALSE(fs::exists(dir_ / "no"));
}

TEST_F(TrafficLogFiles, RecordsFromSeveralThreadsStayWhole) {
  auto log = MakeLog();
  log->Open();
  constexpr int kThreads = 4;
  constexpr int kRecords = 200;
  const std::string body(300, 'x');
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kRecords; ++i) log->WriteClient(body, "h" + std::to_string(t), i);
    });
  }
  for (auto& w : writers) w.join();
  log->Close();

  const std::string text = ReadAll(DayFile("Monday"));
  std::size_t records = 0;
  for (std::size_t at = text.find("Client ("); at != std::string::npos; at = text.find("Client (", at + 1)) {
    const std::size_t end = text.find("\n\r", at);
    ASSERT_NE(end, std::string::npos);
    ASSERT_EQ(text.compare(end + 2, body.size(), body), 0) << "record " << records;
    ++records;
  }
  EXPECT_EQ(records, static_cast<std::size_t>(kThreads * kRecords));
}

}  // namespace
}  // namespace kavor2::service
