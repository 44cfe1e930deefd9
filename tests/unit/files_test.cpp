// The memory platform's files, as the real system has them (the same checks run on it end to
// end), and the copy that replaces a file through a temporary one.
#include <gtest/gtest.h>

#include "../files_contract.h"
#include "platform/memory/memory_platform.h"

namespace kalvenor::testing {
namespace {

using platform::memory::MemoryPlatform;

constexpr char kFolder[] = "C:\\Files";

TEST(MemoryFiles, StatesAndSearchesAsOnTheSystem) {
  MemoryPlatform platform;
  platform.AddFolder(kFolder);
  contract::ExpectStatesAndSearches(platform, kFolder);
}

TEST(MemoryFiles, CopiesAndDeletesAsOnTheSystem) {
  MemoryPlatform platform;
  platform.AddFolder(kFolder);
  contract::ExpectCopiesAndDeletes(platform, kFolder);
}

// Another program replacing the same file (here one of an earlier version, whose temporary
// name was the same for all) holds its temporary file open meanwhile; one that this process's
// id left behind is its own to reuse.
TEST(MemoryFiles, AReplacingWriteTakesATemporaryNameOfItsOwnProcess) {
  const std::string target = std::string(kFolder) + "\\target.log";
  const struct {
    const char* suffix;
    platform::Status (*write)(platform::System&, const std::string& target);
  } writes[] = {
      {".kalvenor-copy",
       [](platform::System& system, const std::string& to) {
         return File_CopyReplacing(system, std::string(kFolder) + "\\source.log", to);
       }},
      {".kalvenor-save",
       [](platform::System& system, const std::string& to) {
         return File_WriteReplacing(system, to, "new");
       }},
  };
  for (const auto& write : writes) {
    SCOPED_TRACE(write.suffix);
    MemoryPlatform platform;
    platform.AddFolder(kFolder);
    platform.AddFile(std::string(kFolder) + "\\source.log", {.content = "new"});
    platform.AddFile(target, {.content = "old"});
    platform.SetProcessId(7);
    const std::string others = target + write.suffix;
    platform.AddFile(others, {.content = "theirs", .locked = true});
    platform.AddFile(target + write.suffix + "-7", {.content = "torn"});

    const platform::Status written = write.write(platform, target);
    EXPECT_TRUE(written.ok()) << written.error().message;
    EXPECT_EQ(platform.Content(target), "new");
    EXPECT_EQ(platform.Files(),
              (std::vector<std::string>{std::string(kFolder) + "\\source.log", target, others}));
  }
}

}  // namespace
}  // namespace kalvenor::testing
