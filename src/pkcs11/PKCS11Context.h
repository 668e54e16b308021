#ifndef TSY_PKCS11_CONTEXT_H
#define TSY_PKCS11_CONTEXT_H

#include <cstdint>
#include <map>
#include <string>

#include <pkcs11.h>

#include "TSYException.h"

class CPKCS11Slot;

// One loaded and initialised PKCS#11 module with its slot list.
//
// Contexts over the same module file share one initialised library (the loader hands out one
// instance); the module is finalised only when the last of them is finalised or destroyed, and
// while it is shared, freeing a slot closes only that slot's own session, not the other's.
class CPKCS11Context : public CErrorHandler
{
public:
    // Loads, initialises and reads the slot list; throws CTSYException on any failure, sink or not.
    // A file that would end the process in the loader (not a regular file, a library cut short)
    // is refused before it is loaded. A failure after loading undoes what this constructor did
    // (finalise, unload); a refused C_Initialize is reported with the module's return value, or as
    // TSY_MODULE_NEEDS_ARGUMENTS when the module wants initialisation arguments of its own. Once the module's function list
    // is obtained, its code stays mapped for the life of the process: later loads of the same
    // file reuse it.
    CPKCS11Context(const char* pszModule, const char* pszDescription, CTSYException* pErrorSink);
    virtual ~CPKCS11Context();

    CK_FUNCTION_LIST_PTR GetFunctionList() const { return m_pFunctionList; }
    const char* GetDescription() const { return m_sDescription.c_str(); }
    const char* GetModuleName() const { return m_sModuleName.c_str(); }
    CK_ULONG GetSlotCount() const { return m_nSlotCount; }

    // Cached slot object for a slot-list position; null when the index is not below the count.
    CPKCS11Slot* GetSlot(unsigned long nIndex);
    // The first slot of the list (walked by position) whose ID is nSlotID; null when none is.
    CPKCS11Slot* FindSlot(CK_SLOT_ID nSlotID);
    void FreeSlots();
    bool RefreshSlotList();
    // Reads the slot list again and appends the slots not listed before (a reader attached since);
    // the slots listed before keep their positions and objects. False after reporting a failure.
    bool ReadNewSlots();
    void FreeSlot(CPKCS11Slot* pSlot);
    void FreeSlot(unsigned long nIndex);

    // Frees the slots and gives up this context's share of the initialised module: C_Finalize
    // runs when no other context uses the module. The library stays loaded until destruction.
    // Returns true when C_Finalize was called. Later calls do nothing and return false.
    bool Finalize();

    // A unique number of this context in the process, never reused.
    uint64_t GetGeneration() const { return m_nGeneration; }

    // Whether another context's C_Finalize closed this context's module too (a module and a wrapper
    // of it reach one library): the module then answered CKR_CRYPTOKI_NOT_INITIALIZED, and this
    // context's sessions are gone even once the module is initialised again. Slots freed then
    // close no session (the handles may be the other context's now); a RefreshSlotList that
    // reads the list from the module initialised again ends this state.
    bool IsModuleClosedUnder() const;

    // Whether a context with this address is alive now; for receivers of queued signals that
    // carry a context pointer, which may arrive after the context is gone.
    static bool IsLive(const CPKCS11Context* pContext);
    // Whether the context of that generation is alive now.
    static bool IsLiveGeneration(uint64_t nGeneration);

    // An extra loader reference to this context's library (dlopen), so that a thread can keep the
    // code mapped while it may be inside; give it back with ReleaseLibraryReference. Null on failure.
    void* AcquireLibraryReference() const;
    static void ReleaseLibraryReference(void* hLibrary);

private:
    CPKCS11Context(const CPKCS11Context&) = delete;
    CPKCS11Context& operator=(const CPKCS11Context&) = delete;

    // Reads count and list; 0 on success, else the failing CK_RV with the failure message.
    CK_RV ReadSlotList(const char** ppszMessage);
    // The module's slot list as a new array (null when empty), or the failing CK_RV and message.
    CK_RV ReadSlotIDs(CK_SLOT_ID** ppList, CK_ULONG* pnCount, const char** ppszMessage) const;
    void FreeSlotList();
    void KeepMapped();
    void Unload();
    bool ReleaseShare(bool bFinalizeIfLast);
    // After this context's C_Finalize: marks the live contexts whose module it closed too.
    void NoteModulesClosedUnderOthers() const;
    void DeleteSlot(CPKCS11Slot* pSlot) const;

    void* m_hModule;
    CK_FUNCTION_LIST_PTR m_pFunctionList;
    CK_ULONG m_nSlotCount;
    CK_SLOT_ID* m_pSlotList;
    std::string m_sModuleName;
    std::string m_sDescription;
    std::map<int32_t, CPKCS11Slot*> m_mapSlots;

    bool m_bShareHeld;   // counted among the users of the initialised module
    bool m_bFinalized;
    bool m_bInitializedHere;  // our C_Initialize answered CKR_OK
    uint64_t m_nGeneration;
};

#endif
