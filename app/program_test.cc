// Start-up rules on fakes. The service switches, wherever they stand in the command line, run
// against the real systemd host (platform/posix/systemd_service_host_test.cc); close reasons, the
// program entry with --help and --version, and the windows' layout run on the real binary.
#include "app/program.h"

#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/fake_platform.h"

namespace cw {
namespace {

using Lines = std::vector<std::string>;

TEST(StartUpTest, ModeComesFromTheStoredFlagsNumberAndASecondInstanceEndsFirst) {
  // A second instance ends before logging anything, with a box only where someone sees it.
  const struct {
    const char* directory;
    const char* stored;  // nullptr: nothing stored
    const char* command_line;
    bool another_instance, service;
    size_t boxes;
  } rows[] = {{"/opt/cw", nullptr, "x", false, false, 0}, {"/", "0", "x", false, false, 0},
              {"/opt/cw", "2", "x", false, true, 0},      {"/opt/cw", "x", "x", false, false, 0},
              {"/opt/cw", "0", "/I", true, false, 1},     {"/opt/cw", "0", "/I /Q", true, false, 0},
              {"/opt/cw", "1", "/I", true, true, 0}};
  const std::string version = std::string("Corbelwynford - version ") + kVersionText;
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    testing::FakePlatform fake;
    fake.process.directory = row.directory;
    if (row.stored != nullptr) fake.service.flag = row.stored;
    fake.process.another_instance = row.another_instance;
    fake.process.command_line = row.command_line;
    Program program(fake.platform);
    if (row.another_instance) {
      EXPECT_THROW(program.Start(), testing::ProcessExit);
      EXPECT_EQ(fake.Log(), Lines{});
      EXPECT_EQ(fake.window.boxes.size(), row.boxes);
      continue;
    }
    program.Start();
    // The incoming file is looked for in the program's folder, which ends in one separator.
    fake.files.files[row.directory + std::string(row.directory[1] ? "/" : "") + "InComingSMS.txt"] =
        "m";
    fake.loop.RunFor(std::chrono::seconds(1));  // the relay's first scan
    EXPECT_EQ(fake.http.bodies.size(), 1u);
    const Lines log = fake.Log();
    EXPECT_EQ(Lines(log.begin(), log.begin() + 3),
              (Lines{std::string(100, '-'), version + " is starting...",
                     row.service ? "Corbelwynford started ok as service"
                                 : "Corbelwynford started ok as application"}));
    EXPECT_EQ(fake.window.caption, version);
    EXPECT_EQ(fake.window.hidden, row.service);
    EXPECT_EQ(fake.service.starts, row.service ? 1 : 0);
    EXPECT_EQ(fake.service.events, row.service ? Lines{"Corbelwynford started"} : Lines{});
  }
}

}  // namespace
}  // namespace cw
