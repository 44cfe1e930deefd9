#pragma once
// What files do by their attributes, checked alike on both platforms: by the unit tests on the
// memory platform and by the end-to-end tests on the real system, so that the two agree.

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "lib/lib_filesystem.h"
#include "platform/system.h"

namespace kalvenor::platform {

inline void PrintTo(const FileState& state, std::ostream* out) {
  *out << (state.exists ? "exists" : "absent") << (state.folder ? " folder" : "")
       << (state.hidden ? " hidden" : "") << (state.system ? " system" : "")
       << (state.readOnly ? " read-only" : "");
}

}  // namespace kalvenor::platform

namespace kalvenor::contract {

using platform::FileState;

struct AttributeCase {
  const char* name;
  FileState state;
};

inline const AttributeCase kFiles[] = {
    {"plain.dll", {.exists = true}},
    {"hidden.dll", {.exists = true, .hidden = true}},
    {"system.dll", {.exists = true, .system = true}},
    {"read-only.dll", {.exists = true, .readOnly = true}},
    {"system read-only.dll", {.exists = true, .system = true, .readOnly = true}},
    {"hidden system.dll", {.exists = true, .hidden = true, .system = true}},
};

inline bool Lists(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

inline std::string Content(platform::System& system, const std::string& path) {
  auto bytes = system.ReadFile(path, 64);
  if (!bytes.ok()) return "unreadable: " + bytes.error().message;
  return {reinterpret_cast<const char*>(bytes.value().data()), bytes.value().size()};
}

inline void Make(platform::System& system, const std::string& path, const FileState& state) {
  ASSERT_TRUE(system.WriteNew(path, "old").ok()) << path;
  ASSERT_TRUE(system.SetAttributes(path, state).ok()) << path;
}

// Every file is there by its state, whatever its attributes; the directory search, as the
// system's own, leaves out files with the system attribute, and hidden ones unless asked.
// Folders are found whatever theirs.
inline void ExpectStatesAndSearches(platform::System& system, const std::string& folder) {
  for (const AttributeCase& file : kFiles) {
    SCOPED_TRACE(file.name);
    const std::string path = folder + "\\" + file.name;
    Make(system, path, file.state);
    EXPECT_EQ(system.StateOf(path), file.state);
    EXPECT_TRUE(File_Exists(system, path));
    EXPECT_EQ(Lists(system.Dir(folder + "\\*", platform::DirAttributes::Hidden), file.name),
              !file.state.system);
    EXPECT_EQ(Lists(system.Dir(folder + "\\*", platform::DirAttributes::Normal), file.name),
              !file.state.system && !file.state.hidden);
  }
  const std::string sub = folder + "\\hidden folder";
  ASSERT_TRUE(system.CreateFolder(sub).ok());
  const FileState hidden{.exists = true, .folder = true, .hidden = true};
  ASSERT_TRUE(system.SetAttributes(sub, hidden).ok());
  EXPECT_EQ(system.StateOf(sub), hidden);
  EXPECT_FALSE(File_Exists(system, sub));
  EXPECT_EQ(system.Dir(sub, platform::DirAttributes::Folders),
            std::vector<std::string>{"hidden folder"});
  for (const std::string& none : {folder + "\\missing.dll", folder + "\\*.dll", std::string()}) {
    EXPECT_EQ(system.StateOf(none), FileState{}) << none;
    EXPECT_FALSE(File_Exists(system, none)) << none;
  }
}

// A copy replaces its target whatever its attributes but read-only, which is refused as it is
// for a delete; the target then has the source's attributes. A read-only source gives a copy
// that is not, so that the temporary file of a refused step can go.
inline void ExpectCopiesAndDeletes(platform::System& system, const std::string& folder) {
  const std::string source = folder + "\\source.dll";
  ASSERT_TRUE(system.WriteNew(source, "new").ok());
  for (const bool readOnlySource : {false, true}) {
    ASSERT_TRUE(system.SetAttributes(source, {.readOnly = readOnlySource}).ok());
    for (const AttributeCase& file : kFiles) {
      SCOPED_TRACE(std::string(file.name) + (readOnlySource ? ", read-only source" : ""));
      const std::string target = folder + "\\" + file.name;
      Make(system, target, file.state);
      const platform::Status copied = File_CopyReplacing(system, source, target);
      EXPECT_EQ(copied.ok() ? 0u : copied.error().code, file.state.readOnly ? 5u : 0u);
      EXPECT_EQ(Content(system, target), file.state.readOnly ? "old" : "new");
      if (copied.ok()) {
        EXPECT_EQ(system.StateOf(target), FileState{.exists = true});
      }
      EXPECT_EQ(system.Dir(folder + "\\*kalvenor*", platform::DirAttributes::Hidden),
                std::vector<std::string>{})
          << "a temporary file is left";
      const platform::Status deleted = system.Delete(target);
      EXPECT_EQ(deleted.ok() ? 0u : deleted.error().code, file.state.readOnly ? 5u : 0u);
      ASSERT_TRUE(system.SetAttributes(target, {}).ok() || !File_Exists(system, target));
      (void)system.Delete(target);
    }
  }
}

}  // namespace kalvenor::contract
