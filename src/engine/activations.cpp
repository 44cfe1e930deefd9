// Activation: each class that clients create from a verified component, created as they create
// it, in the capture helper of its bitness, so that a component that registers well but cannot
// make its objects is found. It runs the component's own code, so only when asked for.
#include "engine/engine.h"
#include "inspect/verification.h"

namespace kalvenor::engine {
namespace {

// A registration or a creation takes well under a second; one that takes this long waits for
// something that will not come.
constexpr std::uint32_t kHelperLimitMs = 30'000;

// CLASS_E_NOTLICENSED: a licensed class's factory refuses a client that brings no license key,
// as it does on any machine where the component's design-time license is not installed.
constexpr std::uint32_t kNotLicensed = 0x80040112;

}  // namespace

std::optional<std::string> Engine::AwaitHelper(platform::CaptureSession& session) {
  const std::uint32_t start = system_.TickCount();
  for (;;) {
    const std::uint32_t waited = system_.TickCount() - start;
    if (waited >= kHelperLimitMs) {
      const platform::Status ended = session.Terminate();
      return "did not end within " + std::to_string(kHelperLimitMs / 1000) + " seconds" +
             (ended.ok() ? ", and was stopped" : ": " + ended.error().message);
    }
    const platform::Wake woke = session.Helper().WaitForExitOrEvents(kHelperLimitMs - waited);
    if (woke == platform::Wake::Ended) return std::nullopt;
    if (woke == platform::Wake::Events) services_.toolkit.DoEvents();
  }
}

void Engine::Activate(const inspect::Component& component, std::vector<verify::Check>& checks) {
  const std::optional<inspect::Registration> registration =
      inspect::ReadRegistration(system_, component);
  if (!registration) return;
  // Only those registered to the copy: the others' failed lines are there already.
  std::vector<const inspect::TypeLibraryClass*> types;
  std::vector<std::string> classes;
  for (const inspect::ClassStanding& found : registration->creatable) {
    if (found.standing != inspect::Standing::ToCopy) continue;
    types.push_back(&found.type);
    classes.push_back(found.type.clsid);
  }
  if (classes.empty()) return;
  const auto failed = [&](std::string subject, std::string why) {
    checks.push_back(
        {.kind = "activation", .subject = std::move(subject), .failed = std::move(why)});
  };
  auto started = system_.StartActivation(component.copy, registration->view, classes,
                                         ChildFolder(registration->view));
  if (!started.ok()) return failed({}, "its classes cannot be created: " + started.error().message);
  platform::CaptureSession& session = *started.value();
  const std::optional<std::string> late = AwaitHelper(session);
  auto outcome = session.Outcome();
  if (!outcome.ok()) return failed({}, "its classes cannot be created: " + outcome.error().message);
  platform::Result<std::uint32_t> exit = session.Helper().ExitCode();
  bool first = true;  // the first class with no result is the one the helper was creating
  for (std::size_t i = 0; i < types.size(); ++i) {
    const std::string named = inspect::ClassName(*types[i]);
    const auto& result = outcome.value().activated.at(i);
    if (result.result == 0u) {
      checks.push_back({.kind = "activation", .subject = classes[i], .note = named + " created"});
    } else if (result.result == kNotLicensed && result.factory && types[i]->licensed) {
      // Its factory served it: that is all a client without the vendor's key can see.
      checks.push_back({.kind = "activation",
                        .subject = classes[i],
                        .note = named + " is served by its class factory, which creates it " +
                                "only for a licensed client: " + inspect::Hex(*result.result) +
                                (result.message.empty() ? "" : ", " + result.message)});
    } else if (result.result) {
      failed(classes[i], named + " cannot be created: " + inspect::Hex(*result.result) +
                             (result.message.empty() ? "" : ", " + result.message));
    } else if (first && late) {
      failed(classes[i], "the creation of " + named + " " + *late);
    } else if (first) {
      failed(classes[i], "the creation of " + named + " ended the helper, with " +
                             (exit.ok() ? inspect::Hex(exit.value()) : exit.error().message));
    } else {
      failed(classes[i], named + " was not created, as the helper ended before");
    }
    if (!result.result) first = false;
  }
}

}  // namespace kalvenor::engine
