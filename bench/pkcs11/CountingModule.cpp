// A PKCS#11 module that forwards every call to the module named by
// P11BENCH_TARGET_MODULE and counts the calls that the token-object code makes.
// The benchmark loads it once for the layer and once for the bare loop, and
// compares the counts, so both are known to make the same calls.

#include <dlfcn.h>
#include <pkcs11.h>

#include <cstdlib>
#include <cstring>

namespace {

CK_FUNCTION_LIST g_list;
CK_FUNCTION_LIST_PTR g_real = nullptr;

enum Counter {
    N_Initialize, N_Finalize, N_GetSlotList, N_GetSlotInfo, N_GetTokenInfo, N_GetMechanismList, N_GetMechanismInfo,
    N_OpenSession, N_CloseSession, N_CloseAllSessions, N_Login, N_Logout, N_FindObjectsInit, N_FindObjects,
    N_FindObjectsFinal, N_GetAttributeValue, N_Count
};
const char* const kNames[N_Count] = {
    "C_Initialize", "C_Finalize", "C_GetSlotList", "C_GetSlotInfo", "C_GetTokenInfo", "C_GetMechanismList",
    "C_GetMechanismInfo", "C_OpenSession", "C_CloseSession", "C_CloseAllSessions", "C_Login", "C_Logout",
    "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal", "C_GetAttributeValue"};
unsigned long g_counts[N_Count];

CK_RV W_Initialize(CK_VOID_PTR a) { ++g_counts[N_Initialize]; return g_real->C_Initialize(a); }
CK_RV W_Finalize(CK_VOID_PTR a) { ++g_counts[N_Finalize]; return g_real->C_Finalize(a); }
CK_RV W_GetSlotList(CK_BBOOL t, CK_SLOT_ID_PTR l, CK_ULONG_PTR n)
{ ++g_counts[N_GetSlotList]; return g_real->C_GetSlotList(t, l, n); }
CK_RV W_GetSlotInfo(CK_SLOT_ID s, CK_SLOT_INFO_PTR i) { ++g_counts[N_GetSlotInfo]; return g_real->C_GetSlotInfo(s, i); }
CK_RV W_GetTokenInfo(CK_SLOT_ID s, CK_TOKEN_INFO_PTR i) { ++g_counts[N_GetTokenInfo]; return g_real->C_GetTokenInfo(s, i); }
CK_RV W_GetMechanismList(CK_SLOT_ID s, CK_MECHANISM_TYPE_PTR l, CK_ULONG_PTR n)
{ ++g_counts[N_GetMechanismList]; return g_real->C_GetMechanismList(s, l, n); }
CK_RV W_GetMechanismInfo(CK_SLOT_ID s, CK_MECHANISM_TYPE t, CK_MECHANISM_INFO_PTR i)
{ ++g_counts[N_GetMechanismInfo]; return g_real->C_GetMechanismInfo(s, t, i); }
CK_RV W_OpenSession(CK_SLOT_ID s, CK_FLAGS f, CK_VOID_PTR a, CK_NOTIFY n, CK_SESSION_HANDLE_PTR h)
{ ++g_counts[N_OpenSession]; return g_real->C_OpenSession(s, f, a, n, h); }
CK_RV W_CloseSession(CK_SESSION_HANDLE h) { ++g_counts[N_CloseSession]; return g_real->C_CloseSession(h); }
CK_RV W_CloseAllSessions(CK_SLOT_ID s) { ++g_counts[N_CloseAllSessions]; return g_real->C_CloseAllSessions(s); }
CK_RV W_Login(CK_SESSION_HANDLE h, CK_USER_TYPE u, CK_UTF8CHAR_PTR p, CK_ULONG n)
{ ++g_counts[N_Login]; return g_real->C_Login(h, u, p, n); }
CK_RV W_Logout(CK_SESSION_HANDLE h) { ++g_counts[N_Logout]; return g_real->C_Logout(h); }
CK_RV W_FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR t, CK_ULONG n)
{ ++g_counts[N_FindObjectsInit]; return g_real->C_FindObjectsInit(h, t, n); }
CK_RV W_FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR o, CK_ULONG m, CK_ULONG_PTR n)
{ ++g_counts[N_FindObjects]; return g_real->C_FindObjects(h, o, m, n); }
CK_RV W_FindObjectsFinal(CK_SESSION_HANDLE h) { ++g_counts[N_FindObjectsFinal]; return g_real->C_FindObjectsFinal(h); }
CK_RV W_GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR t, CK_ULONG n)
{ ++g_counts[N_GetAttributeValue]; return g_real->C_GetAttributeValue(h, o, t, n); }

} // namespace

extern "C" {

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppList)
{
    if (!ppList)
        return CKR_ARGUMENTS_BAD;
    if (!g_real) {
        const char* target = getenv("P11BENCH_TARGET_MODULE");
        void* lib = target ? dlopen(target, RTLD_NOW | RTLD_LOCAL) : nullptr;
        auto getList = lib ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList")) : nullptr;
        if (!getList || getList(&g_real) != CKR_OK)
            return CKR_GENERAL_ERROR;
        g_list = *g_real;
        g_list.C_Initialize = W_Initialize;
        g_list.C_Finalize = W_Finalize;
        g_list.C_GetSlotList = W_GetSlotList;
        g_list.C_GetSlotInfo = W_GetSlotInfo;
        g_list.C_GetTokenInfo = W_GetTokenInfo;
        g_list.C_GetMechanismList = W_GetMechanismList;
        g_list.C_GetMechanismInfo = W_GetMechanismInfo;
        g_list.C_OpenSession = W_OpenSession;
        g_list.C_CloseSession = W_CloseSession;
        g_list.C_CloseAllSessions = W_CloseAllSessions;
        g_list.C_Login = W_Login;
        g_list.C_Logout = W_Logout;
        g_list.C_FindObjectsInit = W_FindObjectsInit;
        g_list.C_FindObjects = W_FindObjects;
        g_list.C_FindObjectsFinal = W_FindObjectsFinal;
        g_list.C_GetAttributeValue = W_GetAttributeValue;
    }
    *ppList = &g_list;
    return CKR_OK;
}

// Control calls the benchmark reaches with dlsym.
__attribute__((visibility("default"))) void P11Bench_ResetCounts()
{
    memset(g_counts, 0, sizeof g_counts);
}

__attribute__((visibility("default"))) unsigned long P11Bench_Count(int index, const char** name)
{
    if (index < 0 || index >= N_Count)
        return (unsigned long)-1;
    if (name)
        *name = kNames[index];
    return g_counts[index];
}

}
