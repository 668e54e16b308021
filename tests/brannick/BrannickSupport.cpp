#include "BrannickSupport.h"

#include <chrono>
#include <sstream>

#include "Fixture.h"

namespace brannick_test {

namespace {

std::string Module()
{
    return fixture::SoftHsm::ModulePath();
}

// The store's tools run without the sanitizer runtime.
int Tool(const std::string& command, std::string* output)
{
    return fixture::Run("env -u LD_PRELOAD " + command, output);
}

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(' ');
    const size_t e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// (slot, label) of every slot with a token.
std::vector<std::pair<std::string, std::string>> Slots()
{
    std::string output;
    Tool("softhsm2-util --show-slots", &output);
    std::vector<std::pair<std::string, std::string>> slots;
    std::istringstream in(output);
    std::string line, slot;
    while (std::getline(in, line)) {
        if (line.rfind("Slot ", 0) == 0)
            slot = line.substr(5);
        const size_t at = line.find("Label:");
        if (at != std::string::npos && line.find_first_not_of(' ') == at)
            slots.emplace_back(slot, Trim(line.substr(at + 6)));
    }
    return slots;
}

} // namespace

TRun Run(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
         const std::string* input)
{
    const std::string in = dir + "/stdin.txt", out = dir + "/stdout.txt", err = dir + "/stderr.txt";
    fixture::WriteText(in, input ? *input : std::string());
    std::string command = fixture::Quote(program);
    for (const std::string& a : args)
        command += " " + fixture::Quote(a);
    command = "( " + command + " <" + fixture::Quote(in) + " >" + fixture::Quote(out) + " 2>" + fixture::Quote(err) +
              " )";
    TRun run;
    const auto start = std::chrono::steady_clock::now();
    run.status = fixture::Run(command);
    run.ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    run.out = fixture::ReadText(out);
    run.err = fixture::ReadText(err);
    return run;
}

std::string SlotOf(const std::string& label)
{
    for (const auto& s : Slots())
        if (s.second == label)
            return s.first;
    return std::string();
}

std::vector<std::string> Labels()
{
    std::vector<std::string> labels;
    for (const auto& s : Slots())
        labels.push_back(s.second);
    return labels;
}

std::string Objects(const std::string& label, const std::string& userPin, int* status)
{
    std::string output;
    const std::string login = userPin.empty() ? std::string() : " --login --pin " + fixture::Quote(userPin);
    const int rc = Tool("pkcs11-tool --module " + fixture::Quote(Module()) + " --token-label " + fixture::Quote(label) +
                            login + " --list-objects",
                        &output);
    if (status)
        *status = rc;
    return output;
}

bool SOLogsIn(const std::string& label, const std::string& soPin, const std::string& newUserPin)
{
    std::string output;
    return Tool("pkcs11-tool --module " + fixture::Quote(Module()) + " --token-label " + fixture::Quote(label) +
                    " --login --login-type so --so-pin " + fixture::Quote(soPin) + " --init-pin --pin " +
                    fixture::Quote(newUserPin),
                &output) == 0;
}

} // namespace brannick_test
