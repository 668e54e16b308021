#include "PKCS11Context.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <QDebug>

#include "ModuleFile.h"
#include "PKCS11Base.h"
#include "PKCS11Slot.h"

namespace {

// Process-wide bookkeeping, touched by several threads (a context may be checked from a
// thread that receives its signals).
struct TRegistry
{
    std::mutex mutex;
    std::map<const CPKCS11Context*, uint64_t> live;   // context -> generation
    std::set<uint64_t> liveGenerations;
    std::map<void*, unsigned long> initUsers;        // library handle -> contexts sharing its initialisation
    // Libraries inside C_Initialize or C_Finalize, which run without the lock (a module may never
    // come back from either); another initialisation or finalisation of one of them waits for
    // the end of it, those of other libraries do not.
    std::set<void*> initializing;
    std::set<void*> finalizing;
    std::condition_variable settled;
    // The modules of the live contexts that still hold their share, by generation, asked after
    // every C_Finalize whether it closed them too (a module and a wrapper of it, as two
    // providers, reach one library the loader cannot tell apart from two).
    std::map<uint64_t, std::pair<void*, CK_FUNCTION_LIST_PTR>> initialised;
    std::set<uint64_t> closedUnder;
    uint64_t nextGeneration = 1;
};

TRegistry& Registry()
{
    static TRegistry* pRegistry = new TRegistry;   // never destroyed: threads may outlive statics
    return *pRegistry;
}

// Paths of the shared objects mapped in this process.
std::set<std::string> MappedLibraries()
{
    std::set<std::string> paths;
    dl_iterate_phdr(
        [](struct dl_phdr_info* pInfo, size_t, void* pData) {
            if (pInfo->dlpi_name && *pInfo->dlpi_name)
                static_cast<std::set<std::string>*>(pData)->insert(pInfo->dlpi_name);
            return 0;
        },
        &paths);
    return paths;
}

// A second reference with RTLD_NODELETE marks a loaded library to stay mapped; giving the
// reference back leaves the mark.
void PinMapped(const char* pszPath)
{
    if (void* h = dlopen(pszPath, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE))
        dlclose(h);
}

// A list naming a slot twice (entries a module claims but does not write are left 0) would
// give the one slot several rows, each with its own sessions and its own full read of the
// token: each ID is kept once, where it first appears. Returns the new count.
CK_ULONG KeepEachSlotOnce(CK_SLOT_ID* pList, CK_ULONG nCount)
{
    std::set<CK_SLOT_ID> seen;
    CK_ULONG nKept = 0;
    for (CK_ULONG i = 0; i < nCount; ++i)
        if (seen.insert(pList[i]).second)
            pList[nKept++] = pList[i];
    return nKept;
}

} // namespace

CPKCS11Context::CPKCS11Context(const char* pszModule, const char* pszDescription, CTSYException* pErrorSink)
    : CErrorHandler(pErrorSink),
      m_hModule(nullptr),
      m_pFunctionList(nullptr),
      m_nSlotCount(0),
      m_pSlotList(nullptr),
      m_sModuleName(pszModule ? pszModule : ""),
      m_sDescription(pszDescription ? pszDescription : ""),
      m_bShareHeld(false),
      m_bFinalized(false),
      m_bInitializedHere(false),
      m_nGeneration(0)
{
    if (!pszModule)
        throw CTSYException((m_sDescription + ": no module file given").c_str(), 0, TSY_KIND_LOAD_FAILED);
    TModuleFile kind = TModuleFile::Loadable;
    std::string sLoadMessage;
    m_hModule = LoadModuleFile(pszModule, &kind, &sLoadMessage);
    if (!m_hModule) {
        switch (kind) {
        case TModuleFile::NotRegular:
            throw CTSYException((m_sDescription + ": " + pszModule + ": not a regular file").c_str(),
                                TSY_MODULE_NOT_REGULAR, TSY_KIND_LOAD_FAILED);
        case TModuleFile::CutShort:
            throw CTSYException((m_sDescription + ": " + pszModule + ": " + sLoadMessage).c_str(),
                                TSY_MODULE_CUT_SHORT, TSY_KIND_LOAD_FAILED);
        case TModuleFile::Loadable:
            break;
        }
        throw CTSYException((m_sDescription + ": " + sLoadMessage).c_str(), 0, TSY_KIND_LOAD_FAILED);
    }

    CK_C_GetFunctionList pGetFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(m_hModule, "C_GetFunctionList"));
    if (!pGetFunctionList) {
        Unload();
        throw CTSYException("Unable to obtain C_GetFunctionList entry point", TSY_MODULE_NOT_PKCS11, TSY_KIND_PLAIN);
    }
    CK_FUNCTION_LIST_PTR pFunctionList = nullptr;
    if (pGetFunctionList(&pFunctionList) != CKR_OK || !pFunctionList) {
        Unload();
        throw CTSYException("Unable to obtain a pointer to CK_FUNCTION_LIST", 0, TSY_KIND_PLAIN);
    }
    m_pFunctionList = pFunctionList;
    // From here on the module's code stays mapped for the life of the process, and with it the
    // libraries it depends on: a module unloaded with its dependencies and mapped afresh may
    // fault in its next C_Initialize (openCryptoki does, inside libitm). C_Finalize still runs.
    KeepMapped();

    // Two contexts over one library initialise it one after the other, so that they agree on who
    // shares the initialisation; the registry lock itself is not held across the call, since a
    // module may never return from it.
    {
        std::unique_lock<std::mutex> lock(Registry().mutex);
        Registry().settled.wait(lock, [this] {
            return Registry().finalizing.count(m_hModule) == 0 && Registry().initializing.count(m_hModule) == 0;
        });
        Registry().initializing.insert(m_hModule);
        lock.unlock();
        const std::set<std::string> mappedBefore = MappedLibraries();
        CK_C_INITIALIZE_ARGS args;
        memset(&args, 0, sizeof(args));
        args.flags = CKF_OS_LOCKING_OK;
        CK_RV rv = m_pFunctionList->C_Initialize(&args);
        if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED)
            rv = m_pFunctionList->C_Initialize(nullptr);
        lock.lock();
        Registry().initializing.erase(m_hModule);
        Registry().settled.notify_all();
        if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
            lock.unlock();
            m_pFunctionList = nullptr;
            Unload();
            // Arguments refused even when there are none: the module wants initialisation
            // arguments of its own (NSS's softoken its configuration string).
            if (rv == CKR_ARGUMENTS_BAD)
                throw CTSYException("Unable to initialize the Cryptoki module: it answered CKR_ARGUMENTS_BAD also "
                                    "without initialisation arguments",
                                    TSY_MODULE_NEEDS_ARGUMENTS, TSY_KIND_PLAIN);
            throw CTSYException("Unable to initialize the Cryptoki module", rv, TSY_KIND_PKCS11);
        }
        // Libraries the module opened itself (OpenSC its PC/SC layer) stay mapped too: its
        // C_Finalize closes them while our slot-event thread may still be returning through them.
        for (const std::string& sPath : MappedLibraries())
            if (!mappedBefore.count(sPath))
                PinMapped(sPath.c_str());
        ++Registry().initUsers[m_hModule];
        m_bShareHeld = true;
        m_bInitializedHere = rv == CKR_OK;
    }

    const char* pszMessage = nullptr;
    CK_RV rv = ReadSlotList(&pszMessage);
    if (rv != CKR_OK) {
        // Undo only what this constructor did: a module that was already initialised before
        // it stays initialised.
        ReleaseShare(m_bInitializedHere);
        m_pFunctionList = nullptr;
        Unload();
        throw CTSYException(pszMessage, rv, TSY_KIND_PKCS11);
    }

    std::lock_guard<std::mutex> lock(Registry().mutex);
    m_nGeneration = Registry().nextGeneration++;
    Registry().live[this] = m_nGeneration;
    Registry().liveGenerations.insert(m_nGeneration);
    Registry().initialised[m_nGeneration] = std::make_pair(m_hModule, m_pFunctionList);
}

CPKCS11Context::~CPKCS11Context()
{
    {
        std::lock_guard<std::mutex> lock(Registry().mutex);
        Registry().live.erase(this);
        Registry().liveGenerations.erase(m_nGeneration);
    }
    Finalize();
    {
        std::lock_guard<std::mutex> lock(Registry().mutex);
        Registry().closedUnder.erase(m_nGeneration);
    }
    Unload();
    FreeSlotList();
}

bool CPKCS11Context::Finalize()
{
    FreeSlots();
    return ReleaseShare(true);
}

bool CPKCS11Context::ReleaseShare(bool bFinalizeIfLast)
{
    if (m_bFinalized || !m_bShareHeld)
        return false;
    m_bFinalized = true;
    m_bShareHeld = false;
    std::unique_lock<std::mutex> lock(Registry().mutex);
    Registry().initialised.erase(m_nGeneration);
    // A context of this library that is initialising now is counted once it has.
    Registry().settled.wait(lock, [this] { return Registry().initializing.count(m_hModule) == 0; });
    auto it = Registry().initUsers.find(m_hModule);
    if (it != Registry().initUsers.end() && --it->second > 0)
        return false;   // another context still works with the module
    if (it != Registry().initUsers.end())
        Registry().initUsers.erase(it);
    if (!bFinalizeIfLast)
        return false;
    // Other modules' contexts must not wait on this one's C_Finalize; one of this library waits.
    Registry().finalizing.insert(m_hModule);
    lock.unlock();
    m_pFunctionList->C_Finalize(nullptr);
    // Done before anything can initialise a module again: afterwards a module closed under
    // another context no longer tells.
    NoteModulesClosedUnderOthers();
    lock.lock();
    Registry().finalizing.erase(m_hModule);
    Registry().settled.notify_all();
    return true;
}

void CPKCS11Context::NoteModulesClosedUnderOthers() const
{
    std::vector<std::pair<uint64_t, CK_FUNCTION_LIST_PTR>> others;
    {
        std::lock_guard<std::mutex> lock(Registry().mutex);
        for (const auto& entry : Registry().initialised)
            if (entry.second.first != m_hModule)
                others.emplace_back(entry.first, entry.second.second);
    }
    // Their code stays mapped for the life of the process, whatever becomes of their contexts.
    for (const auto& other : others) {
        CK_INFO info;
        if (other.second->C_GetInfo(&info) != CKR_CRYPTOKI_NOT_INITIALIZED)
            continue;
        std::lock_guard<std::mutex> lock(Registry().mutex);
        if (Registry().initialised.count(other.first))
            Registry().closedUnder.insert(other.first);
    }
}

bool CPKCS11Context::IsModuleClosedUnder() const
{
    std::lock_guard<std::mutex> lock(Registry().mutex);
    return Registry().closedUnder.count(m_nGeneration) != 0;
}

void CPKCS11Context::KeepMapped()
{
    // By the library's own name: the file at the module's path may be another one by now.
    if (void* h = ReferenceLoadedModule(m_hModule, RTLD_NODELETE))
        dlclose(h);
}

void CPKCS11Context::Unload()
{
    if (m_hModule) {
        dlclose(m_hModule);
        m_hModule = nullptr;
    }
}

CK_RV CPKCS11Context::ReadSlotIDs(CK_SLOT_ID** ppList, CK_ULONG* pnCount, const char** ppszMessage) const
{
    // A reader attached between the two calls makes the list larger than the count: the module
    // answers CKR_BUFFER_TOO_SMALL and the count it needs now, and the list is asked for again.
    // A module whose list never settles fails after a few rounds.
    const int kAttempts = 4;
    *ppList = nullptr;
    *pnCount = 0;
    CK_ULONG nCount = 0;
    CK_RV rv = m_pFunctionList->C_GetSlotList(CK_FALSE, nullptr, &nCount);
    for (int attempt = 1;; ++attempt) {
        if (rv != CKR_OK) {
            *ppszMessage = "Unable to get slots count";
            return rv;
        }
        if (nCount == 0)
            return CKR_OK;
        // A count no allocation can hold (a broken module) fails like the call itself.
        CK_SLOT_ID* pList = NewArrayOrNull<CK_SLOT_ID>(nCount);
        if (!pList) {
            *ppszMessage = "Unable to get slot list";
            return CKR_HOST_MEMORY;
        }
        CK_ULONG nFilled = nCount;
        rv = m_pFunctionList->C_GetSlotList(CK_FALSE, pList, &nFilled);
        if (rv == CKR_OK) {
            *ppList = pList;
            *pnCount = KeepEachSlotOnce(pList, nFilled < nCount ? nFilled : nCount);
            return CKR_OK;
        }
        delete[] pList;
        if (rv != CKR_BUFFER_TOO_SMALL || attempt == kAttempts) {
            *ppszMessage = "Unable to get slot list";
            return rv;
        }
        if (nFilled > nCount) {
            nCount = nFilled;
            rv = CKR_OK;
        } else {
            rv = m_pFunctionList->C_GetSlotList(CK_FALSE, nullptr, &nCount);
        }
    }
}

CK_RV CPKCS11Context::ReadSlotList(const char** ppszMessage)
{
    FreeSlotList();
    return ReadSlotIDs(&m_pSlotList, &m_nSlotCount, ppszMessage);
}

bool CPKCS11Context::ReadNewSlots()
{
    if (m_bFinalized)
        return false;
    CK_SLOT_ID* pList = nullptr;
    CK_ULONG nCount = 0;
    const char* pszMessage = nullptr;
    CK_RV rv = ReadSlotIDs(&pList, &nCount, &pszMessage);
    if (rv != CKR_OK) {
        SetError(pszMessage, rv, TSY_KIND_PKCS11);
        return false;
    }
    // The slots known keep their positions (and their objects); new ones follow them.
    std::vector<CK_SLOT_ID> added;
    for (CK_ULONG i = 0; i < nCount; ++i)
        if (std::find(m_pSlotList, m_pSlotList + m_nSlotCount, pList[i]) == m_pSlotList + m_nSlotCount &&
            std::find(added.begin(), added.end(), pList[i]) == added.end())
            added.push_back(pList[i]);
    delete[] pList;
    if (added.empty())
        return true;
    CK_SLOT_ID* pJoined = new CK_SLOT_ID[m_nSlotCount + added.size()];
    std::copy(m_pSlotList, m_pSlotList + m_nSlotCount, pJoined);
    std::copy(added.begin(), added.end(), pJoined + m_nSlotCount);
    delete[] m_pSlotList;
    m_pSlotList = pJoined;
    m_nSlotCount += added.size();
    return true;
}

void CPKCS11Context::FreeSlotList()
{
    delete[] m_pSlotList;
    m_pSlotList = nullptr;
    m_nSlotCount = 0;
}

CPKCS11Slot* CPKCS11Context::GetSlot(unsigned long nIndex)
{
    if (nIndex >= m_nSlotCount || m_bFinalized)
        return nullptr;
    int32_t nKey = static_cast<int32_t>(nIndex);
    auto it = m_mapSlots.find(nKey);
    if (it != m_mapSlots.end())
        return it->second;
    CPKCS11Slot* pSlot = new CPKCS11Slot(m_pSlotList[nIndex], m_pFunctionList, m_pErrorSink);
    m_mapSlots[nKey] = pSlot;
    return pSlot;
}

CPKCS11Slot* CPKCS11Context::FindSlot(CK_SLOT_ID nSlotID)
{
    for (unsigned long i = 0; i < m_nSlotCount; ++i) {
        CPKCS11Slot* pSlot = GetSlot(i);
        if (pSlot && pSlot->GetSlotID() == nSlotID)
            return pSlot;
    }
    return nullptr;
}

void CPKCS11Context::DeleteSlot(CPKCS11Slot* pSlot) const
{
    if (IsModuleClosedUnder())
        pSlot->ForgetSessions();
    else if (m_bShareHeld) {
        std::lock_guard<std::mutex> lock(Registry().mutex);
        auto it = Registry().initUsers.find(m_hModule);
        if (it != Registry().initUsers.end() && it->second > 1)
            pSlot->KeepOtherSessions();
    }
    delete pSlot;
}

void CPKCS11Context::FreeSlots()
{
    for (auto& entry : m_mapSlots)
        DeleteSlot(entry.second);
    m_mapSlots.clear();
}

void CPKCS11Context::FreeSlot(CPKCS11Slot* pSlot)
{
    for (auto it = m_mapSlots.begin(); it != m_mapSlots.end(); ++it) {
        if (it->second == pSlot) {
            DeleteSlot(pSlot);
            m_mapSlots.erase(it);
            return;
        }
    }
}

void CPKCS11Context::FreeSlot(unsigned long nIndex)
{
    if (nIndex >= m_nSlotCount)
        return;
    auto it = m_mapSlots.find(static_cast<int32_t>(nIndex));
    if (it == m_mapSlots.end())
        return;
    DeleteSlot(it->second);
    m_mapSlots.erase(it);
}

bool CPKCS11Context::RefreshSlotList()
{
    FreeSlots();
    FreeSlotList();
    if (m_bFinalized)
        return false;
    const char* pszMessage = nullptr;
    CK_RV rv = ReadSlotList(&pszMessage);
    if (rv != CKR_OK) {
        SetError(pszMessage, rv, TSY_KIND_PKCS11);
        return false;
    }
    // Read again from a module that another context initialised anew: the sessions opened from
    // now on are this context's own.
    std::lock_guard<std::mutex> lock(Registry().mutex);
    Registry().closedUnder.erase(m_nGeneration);
    return true;
}

bool CPKCS11Context::IsLive(const CPKCS11Context* pContext)
{
    std::lock_guard<std::mutex> lock(Registry().mutex);
    return Registry().live.count(pContext) != 0;
}

bool CPKCS11Context::IsLiveGeneration(uint64_t nGeneration)
{
    std::lock_guard<std::mutex> lock(Registry().mutex);
    return Registry().liveGenerations.count(nGeneration) != 0;
}

void* CPKCS11Context::AcquireLibraryReference() const
{
    if (!m_hModule)
        return nullptr;
    return ReferenceLoadedModule(m_hModule, 0);
}

void CPKCS11Context::ReleaseLibraryReference(void* hLibrary)
{
    if (hLibrary)
        dlclose(hLibrary);
}
