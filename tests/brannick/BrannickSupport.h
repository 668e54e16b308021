#pragma once

// Runs brannick as a process against SoftHSM2 stores made by the tests, and reads the tokens
// back with SoftHSM2's and OpenSC's own tools.
#include <string>
#include <vector>

namespace brannick_test {

struct TRun {
    int status = -1;
    std::string out;
    std::string err;
    long ms = 0;  // wall time of the whole process
};

// Runs program with these arguments; with input, feeds it to standard input (else standard
// input is empty). Files for the streams go under dir.
TRun Run(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
         const std::string* input = nullptr);

// "Slot N" of `softhsm2-util --show-slots` whose token has this label; empty when none.
std::string SlotOf(const std::string& label);
// Every token label that `softhsm2-util --show-slots` shows, in its order.
std::vector<std::string> Labels();
// `pkcs11-tool --list-objects` output for the token, logged in with the user PIN (or not at
// all for an empty one); status in *status.
std::string Objects(const std::string& label, const std::string& userPin, int* status);
// Whether the SO PIN logs in (it sets the user PIN to newUserPin on the way).
bool SOLogsIn(const std::string& label, const std::string& soPin, const std::string& newUserPin = "1234");

} // namespace brannick_test
