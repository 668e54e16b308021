#include <sorvit/mutex.h>

#include <cstring>

CMtxHandle::CMtxHandle()
{
    pthread_mutexattr_t attr;
    std::memset(&attr, 0, sizeof attr);
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

CMtxHandle::~CMtxHandle()
{
    // Releases the destroying thread's hold, if any; fails harmlessly otherwise.
    Unlock();
    pthread_mutex_destroy(&m_mutex);
}

int CMtxHandle::Lock() const
{
    return pthread_mutex_lock(&m_mutex);
}

int CMtxHandle::Unlock() const
{
    return pthread_mutex_unlock(&m_mutex);
}

CSUMutex::CSUMutex(const CMtxHandle& handle) : m_handle(handle)
{
    m_handle.Lock();
}

CSUMutex::~CSUMutex()
{
    m_handle.Unlock();
}
