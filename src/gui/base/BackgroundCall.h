// Runs a blocking call that waits on others (a network exchange) on a thread of its
// own while the GUI thread keeps painting and serving timers. User input is held back
// until the call has ended, so no other operation starts meanwhile.
#pragma once

#include <functional>

class QEventLoop;

namespace tessaly {

// What becomes of the user's input while the call runs: held back and delivered after it,
// or dropped (while objects the input could reach are being replaced).
enum class TUserInput { HeldBack, Dropped };

// Runs work on a worker thread and waits for it in a local event loop that leaves
// out user input (mouse, keys, window close). What work throws is thrown here, on
// the calling thread. Called outside the GUI thread, or without an application,
// work runs directly. work must not touch widgets.
void RunInBackground(const std::function<void()>& work, TUserInput input = TUserInput::HeldBack);

// Runs loop until it is told to quit (from any thread, queued), leaving out user input as input
// says; for a wait whose end the caller decides (a time limit, a close request). Marks the wait
// on the application as RunInBackground does.
void RunWaitLoop(QEventLoop& loop, TUserInput input);

// The same for a call with a result.
template <class TFunction>
auto CallInBackground(TFunction&& function, TUserInput input = TUserInput::HeldBack) -> decltype(function())
{
    decltype(function()) result{};
    RunInBackground([&] { result = function(); }, input);
    return result;
}

// The application's property that counts the calls being waited for.
constexpr const char* kBackgroundCallsProperty = "tessalyBackgroundCalls";

} // namespace tessaly
