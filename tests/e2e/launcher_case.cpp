#include "tests/e2e/launcher_case.h"

#include <unistd.h>

#include <filesystem>

#include "tests/e2e/update_e2e_support.h"

namespace fs = std::filesystem;

namespace e2e {

void LauncherCase::SetUp() {
  ASSERT_TRUE(server_.Load()) << "run under the nginx CTest fixture";
  ASSERT_TRUE(display_.ok()) << "Xvfb and openbox are needed";
  name_ = prefix_ + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  base_ = server_.FreshFolder(name_);
  work_ = fs::temp_directory_path().string() + "/kst-" + std::to_string(getpid()) + "-" + name_;
  fs::remove_all(work_);
  install_ = work_ + "/install";
  fs::create_directories(install_);
  SkipFourDayCheck(install_);
}

void LauncherCase::TearDown() {
  if (!HasFailure()) {
    fs::remove_all(work_);
    fs::remove_all(base_);
  }
}

}  // namespace e2e
