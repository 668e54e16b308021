#ifndef TSY_CONTEXT_LOAD_H
#define TSY_CONTEXT_LOAD_H

#include <functional>
#include <memory>
#include <string>

class CPKCS11Context;
class CTSYException;
struct TContextLoadState;

// Builds a CPKCS11Context on a thread of its own, for a caller that must not wait for good: a
// module can stay in C_Initialize for ever (a reader or a daemon that never answers). The caller
// waits for onEnded as it likes and then takes the context, or gives the load up: the thread then
// stays behind in the module, and until it returns IsPending is true for the module file. A module
// that answers after all keeps its context, unfinalised, to the end of the process.
class CContextLoad
{
public:
    // Starts the load. onEnded runs on the load's thread once the constructor has returned or
    // thrown, unless the load was given up before; it must only wake the caller.
    CContextLoad(const std::string& sModule, const std::string& sDescription, CTSYException* pErrorSink,
                 std::function<void()> onEnded);
    // Gives the load up when its context was not taken.
    ~CContextLoad();
    CContextLoad(const CContextLoad&) = delete;
    CContextLoad& operator=(const CContextLoad&) = delete;

    bool HasEnded() const;
    // Once it has ended: the context, now the caller's, or what its constructor threw, thrown here.
    CPKCS11Context* Take();
    // Leaves the load to its thread (a context already made is freed here).
    void GiveUp();

    // Whether a load of the module file that was given up on still has not returned.
    static bool IsPending(const std::string& sModule);

    // How long a caller waits for a load before it gives up, in milliseconds (30 s unless set).
    static unsigned long GetTimeout();
    static void SetTimeout(unsigned long nMilliseconds);

private:
    std::shared_ptr<TContextLoadState> m_state;
};

#endif
