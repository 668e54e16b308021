#ifndef SORVIT_MUTEX_H
#define SORVIT_MUTEX_H

// A recursive POSIX mutex and a lock that holds it for a scope.

#include <sorvit/export.h>

#include <pthread.h>

class SORVIT_API CMtxHandle {
public:
    CMtxHandle();
    // Releases one hold of the destroying thread, then destroys the mutex.
    ~CMtxHandle();
    CMtxHandle(const CMtxHandle&) = delete;
    CMtxHandle& operator=(const CMtxHandle&) = delete;

    // The POSIX result: 0 on success.
    int Lock() const;
    int Unlock() const;

private:
    mutable pthread_mutex_t m_mutex;
};

class SORVIT_API CSUMutex {
public:
    explicit CSUMutex(const CMtxHandle& handle);
    ~CSUMutex();
    CSUMutex(const CSUMutex&) = delete;
    CSUMutex& operator=(const CSUMutex&) = delete;

private:
    const CMtxHandle& m_handle;
};

#endif
