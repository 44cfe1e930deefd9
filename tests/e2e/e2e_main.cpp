// The end-to-end tests' entry point: finds the program under test, then runs GoogleTest.
//
//   e2e_tests.exe [GoogleTest options] [--kalvenor-exe=PATH] [--kalvenor-samples=FOLDER]
//
// Without the options, KALVENOR_EXE and KALVENOR_SAMPLES name them.
#include <gtest/gtest.h>

#include <cstdio>
#include <string_view>

#include "harness.h"

namespace {

class FreshStore final : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { kalvenor::e2e::ForgetStoredRuns(); }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshStore);
  using kalvenor::e2e::UnderTest;
  UnderTest().exe = kalvenor::e2e::EnvironmentVariable(L"KALVENOR_EXE");
  UnderTest().samples = kalvenor::e2e::EnvironmentVariable(L"KALVENOR_SAMPLES");
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view argument = argv[i];
    constexpr std::wstring_view kExe = L"--kalvenor-exe=", kSamples = L"--kalvenor-samples=";
    if (argument.starts_with(kExe)) {
      UnderTest().exe = argument.substr(kExe.size());
    } else if (argument.starts_with(kSamples)) {
      UnderTest().samples = argument.substr(kSamples.size());
    } else {
      std::fprintf(stderr, "unknown argument: %s\n", kalvenor::e2e::Narrow(argument).c_str());
      return 2;
    }
  }
  if (UnderTest().exe.empty() || UnderTest().samples.empty()) {
    std::fprintf(stderr,
                 "name the program and the samples folder: --kalvenor-exe=PATH "
                 "--kalvenor-samples=FOLDER, or KALVENOR_EXE and KALVENOR_SAMPLES\n");
    return 2;
  }
  return RUN_ALL_TESTS();
}
