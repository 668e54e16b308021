#include "FuzzModule.h"

#include <dlfcn.h>
#include <link.h>

#include <pkcs11.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include <sorvit/sha1.h>

#include "FuzzMaterial.h"

namespace fuzzmodule {

const char kModuleName[] = "tessaly-fuzz-module.so";

namespace {

typedef std::vector<unsigned char> TBytes;

struct TObject {
    CK_OBJECT_HANDLE handle;
    bool bPrivate;
    std::map<CK_ATTRIBUTE_TYPE, TBytes> attributes;
};

struct TState {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;

    bool initialized = false;
    CK_ULONG slotCount = 1;
    std::vector<CK_SLOT_ID> slotIDs;
    std::vector<TObject> objects;
    std::set<CK_SESSION_HANDLE> sessions;
    CK_SESSION_HANDLE nextSession = 1;
    CK_OBJECT_HANDLE nextObject = 100;
    bool loggedIn = false;

    bool finding = false;
    bool endlessSearch = false;
    std::vector<CK_OBJECT_HANDLE> found;
    size_t foundPos = 0;
    bool signing = false;
    bool verifying = false;
    bool digesting = false;
};

TState g_state;

// The input, one answer at a time. Used up, every reader gives 0: the sound answer.
uint8_t Byte()
{
    return g_state.pos < g_state.size ? g_state.data[g_state.pos++] : 0;
}

// 0 (the sound answer) for the lower half of the byte values and for a used-up
// input, else one of the faults 1..nFaults.
int Fault(int nFaults)
{
    const uint8_t b = Byte();
    return b < 0x80 ? 0 : 1 + (b - 0x80) % nFaults;
}

CK_ULONG ULong()
{
    CK_ULONG v = 0;
    for (size_t i = 0; i < sizeof(v); ++i)
        v |= CK_ULONG(Byte()) << (8 * i);
    return v;
}

TBytes Take(size_t n)
{
    const size_t left = g_state.size - std::min(g_state.pos, g_state.size);
    n = std::min(n, left);
    TBytes b(g_state.data + g_state.pos, g_state.data + g_state.pos + n);
    g_state.pos += n;
    return b;
}

// A value of up to 64 KiB: two length bytes, then the bytes.
TBytes Blob()
{
    const size_t n = size_t(Byte()) | size_t(Byte()) << 8;
    return Take(n);
}

// Copies at most n bytes of b to p; nothing for an empty b.
void CopyOut(void* p, const TBytes& b, size_t n)
{
    n = std::min(n, b.size());
    if (p && n)
        std::memcpy(p, b.data(), n);
}

TBytes ULongBytes(CK_ULONG v)
{
    TBytes b(sizeof(v));
    std::memcpy(b.data(), &v, sizeof(v));
    return b;
}

TBytes Text(const char* psz)
{
    return TBytes(psz, psz + strlen(psz));
}

// The sound token's slots, as SoftHSM2 2.6.1 lists a store with one initialised token:
// that token's slot, then a free slot whose token is not initialised.
const CK_SLOT_ID kTokenSlotID = 0x7aba0b0f;
const CK_SLOT_ID kFreeSlotID = 0x1;

const TBytes kTrue(1, 1);
const TBytes kFalse(1, 0);

// Fixed-width blank-padded text, or (a fault) raw bytes of the input: no padding, NULs,
// bytes that are no UTF-8.
void FillText(CK_UTF8CHAR* p, size_t n, const char* psz, bool bRaw)
{
    if (bRaw) {
        const TBytes raw = Take(n);
        std::memset(p, 0, n);
        CopyOut(p, raw, raw.size());
        return;
    }
    std::memset(p, ' ', n);
    std::memcpy(p, psz, std::min(n, strlen(psz)));
}

void AddKeyAttributes(TObject& o, bool bPublic)
{
    o.attributes[CKA_CLASS] = ULongBytes(bPublic ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY);
    o.attributes[CKA_KEY_TYPE] = ULongBytes(CKK_RSA);
    o.attributes[CKA_MODULUS] = TBytes(kModulus, kModulus + sizeof kModulus);
    o.attributes[CKA_PUBLIC_EXPONENT] = TBytes(kPublicExponent, kPublicExponent + sizeof kPublicExponent);
    o.attributes[CKA_MODULUS_BITS] = ULongBytes(sizeof kModulus * 8);
    o.attributes[CKA_TOKEN] = kTrue;
    o.attributes[CKA_PRIVATE] = bPublic ? kFalse : kTrue;
    for (CK_ATTRIBUTE_TYPE t : {CKA_ENCRYPT, CKA_VERIFY, CKA_VERIFY_RECOVER, CKA_WRAP})
        o.attributes[t] = bPublic ? kTrue : kFalse;
    for (CK_ATTRIBUTE_TYPE t : {CKA_DECRYPT, CKA_SIGN, CKA_SIGN_RECOVER, CKA_UNWRAP, CKA_SENSITIVE})
        o.attributes[t] = bPublic ? kFalse : kTrue;
}

// The sound token's three objects, then what the input adds or spoils.
void BuildObjects()
{
    TState& s = g_state;
    s.objects.clear();
    const TBytes id = {0x0A, 0x0B};
    const TBytes label = Text("Fuzz User");

    TObject cert{1, false, {}};
    cert.attributes[CKA_CLASS] = ULongBytes(CKO_CERTIFICATE);
    cert.attributes[CKA_CERTIFICATE_TYPE] = ULongBytes(CKC_X_509);
    cert.attributes[CKA_TOKEN] = kTrue;
    cert.attributes[CKA_PRIVATE] = kFalse;
    cert.attributes[CKA_VALUE] = TBytes(kCertificate, kCertificate + sizeof kCertificate);
    TObject pub{2, false, {}};
    AddKeyAttributes(pub, true);
    TObject priv{3, true, {}};
    AddKeyAttributes(priv, false);
    for (TObject* o : {&cert, &pub, &priv}) {
        o->attributes[CKA_ID] = id;
        o->attributes[CKA_LABEL] = label;
    }
    s.objects = {cert, pub, priv};

    // Spoilt values: edits of the certificate, another modulus, a fixed-size value of
    // the wrong length, an attribute taken away.
    for (int nEdits = Fault(4) ? Byte() % 16 : 0; nEdits > 0; --nEdits) {
        TObject& o = s.objects[Byte() % s.objects.size()];
        const CK_ATTRIBUTE_TYPE types[] = {CKA_VALUE,    CKA_ID,           CKA_LABEL,    CKA_MODULUS,
                                           CKA_PUBLIC_EXPONENT, CKA_KEY_TYPE, CKA_CLASS,    CKA_MODULUS_BITS,
                                           CKA_SIGN,     CKA_VERIFY,       CKA_CERTIFICATE_TYPE, CKA_PRIVATE};
        const CK_ATTRIBUTE_TYPE type = types[Byte() % (sizeof types / sizeof types[0])];
        switch (Byte() % 4) {
        case 0:
            o.attributes.erase(type);
            break;
        case 1:
            o.attributes[type] = Blob();
            break;
        case 2: {
            TBytes& v = o.attributes[type];
            if (!v.empty())
                v[(size_t(Byte()) << 8 | Byte()) % v.size()] = Byte();
            break;
        }
        default:
            o.attributes[type] = ULongBytes(ULong());
            break;
        }
    }
    // Objects of the input's own making.
    for (int nExtra = Fault(2) ? Byte() % 8 : 0; nExtra > 0; --nExtra) {
        TObject o{s.nextObject++, false, {}};
        const CK_OBJECT_CLASS classes[] = {CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY, CKO_DATA};
        const CK_OBJECT_CLASS cls = classes[Byte() % 4];
        if (cls == CKO_PUBLIC_KEY || cls == CKO_PRIVATE_KEY)
            AddKeyAttributes(o, cls == CKO_PUBLIC_KEY);
        o.attributes[CKA_CLASS] = ULongBytes(cls);
        o.bPrivate = cls == CKO_PRIVATE_KEY && Byte() < 0xF0;
        const CK_KEY_TYPE types[] = {CKK_RSA, CKK_DSA, CKK_EC, CKK_DH};
        const uint8_t t = Byte();
        o.attributes[CKA_KEY_TYPE] = ULongBytes(t < 0xF0 ? types[t % 4] : ULong());
        o.attributes[CKA_CERTIFICATE_TYPE] = ULongBytes(Byte() < 0xF0 ? CKC_X_509 : ULong());
        o.attributes[CKA_ID] = Take(Byte() % 9);
        o.attributes[CKA_LABEL] = Take(Byte() % 40);
        o.attributes[CKA_VALUE] = Blob();
        if (Byte() & 1) {
            o.attributes[CKA_MODULUS] = Blob();
            o.attributes[CKA_PUBLIC_EXPONENT] = Take(Byte() % 5);
        }
        if (Byte() & 1) {
            for (CK_ATTRIBUTE_TYPE a : {CKA_PRIME, CKA_SUBPRIME, CKA_BASE})
                o.attributes[a] = Blob();
        }
        s.objects.push_back(o);
    }
}

TObject* FindObject(CK_OBJECT_HANDLE h)
{
    for (TObject& o : g_state.objects)
        if (o.handle == h)
            return &o;
    return nullptr;
}

bool Visible(const TObject& o)
{
    return !o.bPrivate || g_state.loggedIn;
}

bool Matches(const TObject& o, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG nCount)
{
    for (CK_ULONG i = 0; i < nCount; ++i) {
        auto it = o.attributes.find(pTemplate[i].type);
        if (it == o.attributes.end())
            return false;
        const TBytes& v = it->second;
        if (pTemplate[i].ulValueLen != v.size() ||
            (!v.empty() && (!pTemplate[i].pValue || std::memcmp(pTemplate[i].pValue, v.data(), v.size()) != 0)))
            return false;
    }
    return true;
}

bool SessionOpen(CK_SESSION_HANDLE h)
{
    return g_state.sessions.count(h) != 0;
}

// A list call (slots, mechanisms): the count first, then the list, with the faults of a
// list that changes size between the two calls or a count that does not fit the buffer.
CK_RV FillList(const std::vector<CK_ULONG>& list, CK_ULONG_PTR pList, CK_ULONG_PTR pulCount)
{
    if (!pulCount)
        return CKR_ARGUMENTS_BAD;
    const CK_ULONG n = list.size();
    if (!pList) {
        switch (Fault(2)) {
        case 1:
            *pulCount = Byte() % 16;
            break;
        case 2:  // no believable count (a short list is the case above)
            *pulCount = ULong() | CK_ULONG(1) << 32;
            break;
        default:
            *pulCount = n;
            break;
        }
        return CKR_OK;
    }
    const CK_ULONG given = *pulCount;
    switch (Fault(4)) {
    case 1:  // grew meanwhile
        *pulCount = given + 1 + Byte();
        return CKR_BUFFER_TOO_SMALL;
    case 2:  // claims more than it wrote
        for (CK_ULONG i = 0; i < std::min(given, n); ++i)
            pList[i] = list[i];
        *pulCount = given + 1 + Byte();
        return CKR_OK;
    case 3:
        *pulCount = std::min(given, n) / 2;
        for (CK_ULONG i = 0; i < *pulCount; ++i)
            pList[i] = list[i];
        return CKR_OK;
    case 4:
        return CKR_DEVICE_ERROR;
    default:
        break;
    }
    if (given < n) {
        *pulCount = n;
        return CKR_BUFFER_TOO_SMALL;
    }
    for (CK_ULONG i = 0; i < n; ++i)
        pList[i] = list[i];
    *pulCount = n;
    return CKR_OK;
}

// A sized output (signature, digest): the length with a null buffer, then the bytes
// (those of the input, else sound), with the faults of lengths that change or lie and
// of a call that never fits.
CK_RV FillSized(const TBytes& sound, CK_BYTE_PTR pOut, CK_ULONG_PTR pulLen, bool* pbActive)
{
    if (!*pbActive)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (!pulLen)
        return CKR_ARGUMENTS_BAD;
    CK_ULONG nSize = sound.size();
    switch (Fault(5)) {
    case 1:
        nSize = Byte();
        break;
    case 2:
        nSize = ULong();
        break;
    case 3:
        *pulLen = *pulLen + 1 + Byte();
        return CKR_BUFFER_TOO_SMALL;
    case 4:
        *pbActive = false;
        return CKR_DEVICE_ERROR;
    case 5:
        if (pOut) {
            std::memset(pOut, 0x5A, *pulLen);
            *pulLen = *pulLen + 1 + Byte();
            *pbActive = false;
            return CKR_OK;
        }
        break;
    default:
        break;
    }
    if (!pOut) {
        *pulLen = nSize;
        return CKR_OK;
    }
    if (*pulLen < nSize) {
        *pulLen = nSize;
        return CKR_BUFFER_TOO_SMALL;
    }
    const TBytes bytes = Take(nSize);
    std::memset(pOut, 0x5A, nSize);
    CopyOut(pOut, sound, nSize);
    CopyOut(pOut, bytes, bytes.size());
    *pulLen = nSize;
    *pbActive = false;
    return CKR_OK;
}

CK_RV ErrorCode()
{
    const CK_RV codes[] = {CKR_GENERAL_ERROR,      CKR_DEVICE_ERROR,     CKR_DEVICE_REMOVED,
                           CKR_SESSION_HANDLE_INVALID, CKR_TOKEN_NOT_PRESENT, CKR_FUNCTION_FAILED,
                           CKR_USER_NOT_LOGGED_IN, CKR_OBJECT_HANDLE_INVALID, CKR_CRYPTOKI_NOT_INITIALIZED};
    const uint8_t b = Byte();
    return b < 0xF0 ? codes[b % (sizeof codes / sizeof codes[0])] : ULong();
}

// --- The functions -----------------------------------------------------------------

CK_RV Initialize(CK_VOID_PTR)
{
    if (g_state.initialized)
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    switch (Fault(2)) {
    case 1:
        return CKR_CANT_LOCK;
    case 2:
        return ErrorCode();
    default:
        break;
    }
    g_state.initialized = true;
    switch (Fault(2)) {
    case 1:
        g_state.slotCount = Byte() % 5;
        break;
    case 2:
        g_state.slotCount = 1 + Byte() % 4;
        break;
    default:
        g_state.slotCount = 1;
        break;
    }
    g_state.slotIDs.clear();
    for (CK_ULONG i = 0; i < g_state.slotCount; ++i)
        g_state.slotIDs.push_back(Fault(1) ? ULong() % 4 : i == 0 ? kTokenSlotID : kFreeSlotID + i - 1);
    BuildObjects();
    return CKR_OK;
}

CK_RV Finalize(CK_VOID_PTR)
{
    if (!g_state.initialized)
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    g_state.initialized = false;
    g_state.sessions.clear();
    g_state.loggedIn = false;
    return Fault(1) ? ErrorCode() : CKR_OK;
}

CK_RV GetInfo(CK_INFO_PTR pInfo)
{
    if (!pInfo)
        return CKR_ARGUMENTS_BAD;
    std::memset(pInfo, 0, sizeof *pInfo);
    pInfo->cryptokiVersion.major = 2;
    pInfo->cryptokiVersion.minor = 40;
    FillText(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Tessaly", Fault(1));
    FillText(pInfo->libraryDescription, sizeof pInfo->libraryDescription, "Fuzz module", Fault(1));
    return CKR_OK;
}

CK_RV GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount)
{
    if (!g_state.initialized)
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    return FillList(g_state.slotIDs, pSlotList, pulCount);
}

// Slot and token information as SoftHSM2 gives them (recorded with pkcs11-tool -L).
CK_RV GetSlotInfo(CK_SLOT_ID nSlotID, CK_SLOT_INFO_PTR pInfo)
{
    if (!pInfo)
        return CKR_ARGUMENTS_BAD;
    const int nFault = Fault(3);
    if (nFault == 3)
        return ErrorCode();
    char szDescription[64];
    snprintf(szDescription, sizeof szDescription, "SoftHSM slot ID 0x%lx", static_cast<unsigned long>(nSlotID));
    FillText(pInfo->slotDescription, sizeof pInfo->slotDescription, szDescription, nFault == 1);
    FillText(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "SoftHSM project", nFault == 1);
    pInfo->flags = CKF_TOKEN_PRESENT;
    if (nFault == 2)
        pInfo->flags = ULong();
    pInfo->hardwareVersion = {2, 6};
    pInfo->firmwareVersion = {2, 6};
    return CKR_OK;
}

bool IsFreeSlot(CK_SLOT_ID nSlotID)
{
    return nSlotID != kTokenSlotID && nSlotID >= kFreeSlotID && nSlotID < kFreeSlotID + 4;
}

CK_RV GetTokenInfo(CK_SLOT_ID nSlotID, CK_TOKEN_INFO_PTR pInfo)
{
    if (!pInfo)
        return CKR_ARGUMENTS_BAD;
    const int nFault = Fault(4);
    if (nFault == 4)
        return Byte() & 1 ? CKR_TOKEN_NOT_RECOGNIZED : ErrorCode();
    std::memset(pInfo, 0, sizeof *pInfo);
    const bool bFree = IsFreeSlot(nSlotID);
    FillText(pInfo->label, sizeof pInfo->label, bFree ? "" : "Fuzz Token", nFault == 1);
    FillText(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "SoftHSM project", nFault == 1);
    FillText(pInfo->model, sizeof pInfo->model, "SoftHSM v2", nFault == 1);
    FillText(pInfo->serialNumber, sizeof pInfo->serialNumber, bFree ? "" : "df9b89187aba0b0f", nFault == 1);
    // SoftHSM2's free slot says its SO PIN is locked and to be changed: its own word for "not initialised".
    pInfo->flags = bFree ? CKF_RNG | CKF_LOGIN_REQUIRED | CKF_RESTORE_KEY_NOT_NEEDED | CKF_SO_PIN_LOCKED |
                               CKF_SO_PIN_TO_BE_CHANGED
                         : CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_RESTORE_KEY_NOT_NEEDED |
                               CKF_TOKEN_INITIALIZED;
    pInfo->hardwareVersion = {2, 6};
    pInfo->firmwareVersion = {2, 6};
    pInfo->ulMinPinLen = 4;
    pInfo->ulMaxPinLen = 255;
    if (nFault == 2) {
        pInfo->flags = ULong();
        pInfo->ulMinPinLen = ULong();
        pInfo->ulMaxPinLen = ULong();
    }
    pInfo->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    pInfo->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    if (nFault == 3) {
        pInfo->ulMaxSessionCount = ULong();
        pInfo->ulSessionCount = ULong();
        pInfo->ulTotalPublicMemory = ULong();
        pInfo->ulFreePublicMemory = ULong();
        FillText(pInfo->utcTime, sizeof pInfo->utcTime, "", true);
    }
    return CKR_OK;
}

CK_RV GetMechanismList(CK_SLOT_ID, CK_MECHANISM_TYPE_PTR pList, CK_ULONG_PTR pulCount)
{
    static const std::vector<CK_ULONG> kMechanisms = {CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_RSA_PKCS, CKM_DSA, CKM_SHA_1,
                                                      CKM_SHA256};
    return FillList(kMechanisms, pList, pulCount);
}

CK_RV GetMechanismInfo(CK_SLOT_ID, CK_MECHANISM_TYPE, CK_MECHANISM_INFO_PTR pInfo)
{
    if (!pInfo)
        return CKR_ARGUMENTS_BAD;
    switch (Fault(2)) {
    case 1:
        pInfo->ulMinKeySize = ULong();
        pInfo->ulMaxKeySize = ULong();
        pInfo->flags = ULong();
        return CKR_OK;
    case 2:
        return CKR_MECHANISM_INVALID;
    default:
        pInfo->ulMinKeySize = 1024;
        pInfo->ulMaxKeySize = 4096;
        pInfo->flags = CKF_HW | CKF_SIGN | CKF_VERIFY | CKF_GENERATE_KEY_PAIR;
        return CKR_OK;
    }
}

CK_RV InitToken(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR)
{
    return Fault(1) ? ErrorCode() : CKR_OK;
}

CK_RV InitPIN(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG)
{
    return Fault(1) ? ErrorCode() : CKR_OK;
}

CK_RV SetPIN(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG)
{
    return Fault(1) ? ErrorCode() : CKR_OK;
}

CK_RV OpenSession(CK_SLOT_ID nSlotID, CK_FLAGS, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR phSession)
{
    if (!phSession)
        return CKR_ARGUMENTS_BAD;
    if (IsFreeSlot(nSlotID))
        return CKR_TOKEN_NOT_RECOGNIZED;
    switch (Fault(3)) {
    case 1:
        return CKR_TOKEN_WRITE_PROTECTED;
    case 2:
        return ErrorCode();
    case 3:
        *phSession = ULong();
        g_state.sessions.insert(*phSession);
        return CKR_OK;
    default:
        *phSession = g_state.nextSession++;
        g_state.sessions.insert(*phSession);
        return CKR_OK;
    }
}

CK_RV CloseSession(CK_SESSION_HANDLE h)
{
    if (!g_state.sessions.erase(h))
        return CKR_SESSION_HANDLE_INVALID;
    if (g_state.sessions.empty())
        g_state.loggedIn = false;
    return Fault(1) ? ErrorCode() : CKR_OK;
}

CK_RV CloseAllSessions(CK_SLOT_ID)
{
    g_state.sessions.clear();
    g_state.loggedIn = false;
    return Fault(1) ? ErrorCode() : CKR_OK;
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR pInfo)
{
    if (!pInfo)
        return CKR_ARGUMENTS_BAD;
    if (!SessionOpen(h))
        return CKR_SESSION_HANDLE_INVALID;
    pInfo->slotID = 1;
    pInfo->state = g_state.loggedIn ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION;
    pInfo->flags = CKF_SERIAL_SESSION | CKF_RW_SESSION;
    pInfo->ulDeviceError = 0;
    if (Fault(1))
        pInfo->state = ULong();
    return CKR_OK;
}

CK_RV Login(CK_SESSION_HANDLE h, CK_USER_TYPE, CK_UTF8CHAR_PTR, CK_ULONG)
{
    if (!SessionOpen(h))
        return CKR_SESSION_HANDLE_INVALID;
    switch (Fault(4)) {
    case 1:
        return CKR_PIN_INCORRECT;
    case 2:
        g_state.loggedIn = true;
        return CKR_USER_ALREADY_LOGGED_IN;
    case 3:
        return CKR_PIN_LOCKED;
    case 4:
        return ErrorCode();
    default:
        g_state.loggedIn = true;
        return CKR_OK;
    }
}

CK_RV Logout(CK_SESSION_HANDLE h)
{
    if (!SessionOpen(h))
        return CKR_SESSION_HANDLE_INVALID;
    switch (Fault(2)) {
    case 1:
        return CKR_USER_NOT_LOGGED_IN;
    case 2:
        return ErrorCode();  // the login stays
    default:
        g_state.loggedIn = false;
        return CKR_OK;
    }
}

CK_RV CreateObject(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG nCount, CK_OBJECT_HANDLE_PTR phObject)
{
    if (!SessionOpen(h))
        return CKR_SESSION_HANDLE_INVALID;
    if (Fault(1))
        return ErrorCode();
    TObject o{g_state.nextObject++, false, {}};
    for (CK_ULONG i = 0; i < nCount; ++i) {
        const unsigned char* p = static_cast<const unsigned char*>(pTemplate[i].pValue);
        o.attributes[pTemplate[i].type] = p ? TBytes(p, p + pTemplate[i].ulValueLen) : TBytes();
    }
    g_state.objects.push_back(o);
    if (phObject)
        *phObject = o.handle;
    return CKR_OK;
}

CK_RV DestroyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE hObject)
{
    if (!SessionOpen(h))
        return CKR_SESSION_HANDLE_INVALID;
    if (Fault(1))
        return ErrorCode();
    auto& objects = g_state.objects;
    auto it = std::find_if(objects.begin(), objects.end(), [hObject](const TObject& o) { return o.handle == hObject; });
    if (it == objects.end())
        return CKR_OBJECT_HANDLE_INVALID;
    objects.erase(it);
    return CKR_OK;
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG nCount)
{
    if (!SessionOpen(h))
        return CKR_SESSION_HANDLE_INVALID;
    switch (Fault(2)) {
    case 1:
        return ErrorCode();
    case 2:
        return CKR_FUNCTION_FAILED;
    default:
        break;
    }
    TObject* pObject = FindObject(hObject);
    if (!pObject || !Visible(*pObject))
        return CKR_OBJECT_HANDLE_INVALID;
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < nCount; ++i) {
        CK_ATTRIBUTE& a = pTemplate[i];
        auto it = pObject->attributes.find(a.type);
        TBytes value;
        bool bPresent = it != pObject->attributes.end();
        if (bPresent)
            value = it->second;
        switch (Fault(7)) {
        case 1:  // another value, of any length
            value = Blob();
            bPresent = true;
            break;
        case 2:  // "unavailable", yet the call succeeds
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            continue;
        case 3:  // a length larger than the buffer given, the call succeeding
            if (a.pValue && bPresent)
                CopyOut(a.pValue, value, a.ulValueLen);
            a.ulValueLen = a.ulValueLen + 1 + (Byte() & 1 ? ULong() : Byte());
            continue;
        case 4:  // too small, whatever the buffer
            a.ulValueLen = value.size() + 1 + Byte();
            rv = CKR_BUFFER_TOO_SMALL;
            continue;
        case 5:
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_SENSITIVE;
            continue;
        case 6:
            bPresent = false;
            break;
        case 7:  // a fixed-size value of another length
            if (value.size() > 1)
                value.resize(Byte() % value.size());
            else
                value.assign(Byte() % 9, Byte());
            break;
        default:
            break;
        }
        if (!bPresent) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (!a.pValue) {
            a.ulValueLen = value.size();
        } else if (a.ulValueLen < value.size()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_BUFFER_TOO_SMALL;
        } else {
            CopyOut(a.pValue, value, value.size());
            a.ulValueLen = value.size();
        }
    }
    return rv;
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG nCount)
{
    if (!SessionOpen(h))
        return CKR_SESSION_HANDLE_INVALID;
    if (g_state.finding && !Fault(1))
        return CKR_OPERATION_ACTIVE;
    if (Fault(1))
        return ErrorCode();
    g_state.found.clear();
    g_state.foundPos = 0;
    g_state.endlessSearch = false;
    for (const TObject& o : g_state.objects)
        if (Visible(o) && Matches(o, pTemplate, nCount))
            g_state.found.push_back(o.handle);
    switch (Fault(3)) {
    case 1:  // handles of nothing, or of other objects
        for (int n = 1 + Byte() % 8; n > 0; --n)
            g_state.found.push_back(Byte() & 1 ? ULong() : 1 + Byte() % 4);
        break;
    case 2:
        if (!g_state.found.empty())
            g_state.found.push_back(g_state.found.front());
        break;
    case 3:
        g_state.endlessSearch = true;
        break;
    default:
        break;
    }
    g_state.finding = true;
    return CKR_OK;
}

CK_RV FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG nMax, CK_ULONG_PTR pulCount)
{
    if (!SessionOpen(h))
        return CKR_SESSION_HANDLE_INVALID;
    if (!g_state.finding)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (!phObject || !pulCount)
        return CKR_ARGUMENTS_BAD;
    const int nFault = Fault(2);
    if (nFault == 2)
        return ErrorCode();
    CK_ULONG n = 0;
    const std::vector<CK_OBJECT_HANDLE>& found = g_state.found;
    if (g_state.endlessSearch) {
        // A broken module whose search never ends: the same handles, again and again.
        for (; n < nMax && !found.empty(); ++n)
            phObject[n] = found[n % found.size()];
        if (found.empty() && nMax)
            phObject[n++] = 1;
    } else {
        for (; n < nMax && g_state.foundPos < found.size(); ++n)
            phObject[n] = found[g_state.foundPos++];
    }
    *pulCount = n;
    if (nFault == 1 && n)  // more than it was asked for (it wrote only what fits)
        *pulCount = nMax + 1 + Byte();
    return CKR_OK;
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE h)
{
    if (!SessionOpen(h))
        return CKR_SESSION_HANDLE_INVALID;
    g_state.finding = false;
    return Fault(1) ? ErrorCode() : CKR_OK;
}

CK_RV DigestInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR)
{
    if (!SessionOpen(h))
        return CKR_SESSION_HANDLE_INVALID;
    if (Fault(1))
        return ErrorCode();
    g_state.digesting = true;
    return CKR_OK;
}

// The sound digest is SHA-1 (what the layer asks for), so that key identifiers are those
// a real token gives.
CK_RV Digest(CK_SESSION_HANDLE, CK_BYTE_PTR pData, CK_ULONG nData, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen)
{
    CSHA1 sha1;
    if (pData && nData)
        sha1.Input(pData, uint32_t(nData));
    uint32_t words[5];
    TBytes digest(20);
    if (sha1.Result(words))
        for (size_t i = 0; i < 20; ++i)
            digest[i] = static_cast<unsigned char>(words[i / 4] >> (24 - 8 * (i % 4)));
    return FillSized(digest, pDigest, pulDigestLen, &g_state.digesting);
}

CK_RV SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE hKey)
{
    if (!SessionOpen(h))
        return CKR_SESSION_HANDLE_INVALID;
    if (Fault(1))
        return ErrorCode();
    const TObject* pKey = FindObject(hKey);
    if (!pKey || !Visible(*pKey))
        return CKR_KEY_HANDLE_INVALID;
    g_state.signing = true;
    return CKR_OK;
}

CK_RV Sign(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen)
{
    return FillSized(TBytes(sizeof kModulus, 0x5A), pSignature, pulSignatureLen, &g_state.signing);
}

CK_RV VerifyInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE hKey)
{
    if (!SessionOpen(h))
        return CKR_SESSION_HANDLE_INVALID;
    if (Fault(1))
        return ErrorCode();
    if (!FindObject(hKey))
        return CKR_KEY_HANDLE_INVALID;
    g_state.verifying = true;
    return CKR_OK;
}

CK_RV Verify(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG)
{
    if (!g_state.verifying)
        return CKR_OPERATION_NOT_INITIALIZED;
    g_state.verifying = false;
    switch (Fault(3)) {
    case 1:
        return CKR_SIGNATURE_INVALID;
    case 2:
        return CKR_SIGNATURE_LEN_RANGE;
    case 3:
        return ErrorCode();
    default:
        return CKR_OK;
    }
}

CK_RV GenerateKeyPair(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR, CK_ULONG,
                      CK_OBJECT_HANDLE_PTR phPublic, CK_OBJECT_HANDLE_PTR phPrivate)
{
    if (!SessionOpen(h))
        return CKR_SESSION_HANDLE_INVALID;
    if (Fault(1))
        return ErrorCode();
    TObject pub{g_state.nextObject++, false, {}};
    AddKeyAttributes(pub, true);
    TObject priv{g_state.nextObject++, true, {}};
    AddKeyAttributes(priv, false);
    g_state.objects.push_back(pub);
    g_state.objects.push_back(priv);
    if (phPublic)
        *phPublic = pub.handle;
    if (phPrivate)
        *phPrivate = priv.handle;
    return CKR_OK;
}

CK_RV GenerateRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR p, CK_ULONG n)
{
    if (!SessionOpen(h))
        return CKR_SESSION_HANDLE_INVALID;
    if (Fault(1))
        return ErrorCode();
    const TBytes bytes = Take(n);
    if (p) {
        std::memset(p, 0x42, n);
        CopyOut(p, bytes, bytes.size());
    }
    return CKR_OK;
}

CK_RV WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR)
{
    return CKR_NO_EVENT;
}

// The entries the layer never calls stay null.
CK_FUNCTION_LIST MakeFunctionList()
{
    CK_FUNCTION_LIST fl;
    std::memset(&fl, 0, sizeof fl);
    fl.version = {2, 40};
    fl.C_Initialize = Initialize;
    fl.C_Finalize = Finalize;
    fl.C_GetInfo = GetInfo;
    fl.C_GetSlotList = GetSlotList;
    fl.C_GetSlotInfo = GetSlotInfo;
    fl.C_GetTokenInfo = GetTokenInfo;
    fl.C_GetMechanismList = GetMechanismList;
    fl.C_GetMechanismInfo = GetMechanismInfo;
    fl.C_InitToken = InitToken;
    fl.C_InitPIN = InitPIN;
    fl.C_SetPIN = SetPIN;
    fl.C_OpenSession = OpenSession;
    fl.C_CloseSession = CloseSession;
    fl.C_CloseAllSessions = CloseAllSessions;
    fl.C_GetSessionInfo = GetSessionInfo;
    fl.C_Login = Login;
    fl.C_Logout = Logout;
    fl.C_CreateObject = CreateObject;
    fl.C_DestroyObject = DestroyObject;
    fl.C_GetAttributeValue = GetAttributeValue;
    fl.C_FindObjectsInit = FindObjectsInit;
    fl.C_FindObjects = FindObjects;
    fl.C_FindObjectsFinal = FindObjectsFinal;
    fl.C_DigestInit = DigestInit;
    fl.C_Digest = Digest;
    fl.C_SignInit = SignInit;
    fl.C_Sign = Sign;
    fl.C_VerifyInit = VerifyInit;
    fl.C_Verify = Verify;
    fl.C_GenerateKeyPair = GenerateKeyPair;
    fl.C_GenerateRandom = GenerateRandom;
    fl.C_WaitForSlotEvent = WaitForSlotEvent;
    return fl;
}

CK_FUNCTION_LIST g_functionList = MakeFunctionList();

CK_RV GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppList)
{
    if (!ppList)
        return CKR_ARGUMENTS_BAD;
    *ppList = &g_functionList;
    return CKR_OK;
}

// What the wrapped loader hands out for kModuleName.
char g_handle;

} // namespace

void Start(const uint8_t* data, size_t size)
{
    const bool bInitialized = g_state.initialized;
    g_state = TState();
    g_state.initialized = bInitialized;
    g_state.data = data;
    g_state.size = size;
}

bool IsInitialized()
{
    return g_state.initialized;
}

} // namespace fuzzmodule

extern "C" {

void* __real_dlopen(const char* pszFile, int nMode);
void* __real_dlsym(void* hLibrary, const char* pszName);
int __real_dlclose(void* hLibrary);

void* __wrap_dlopen(const char* pszFile, int nMode)
{
    if (pszFile && std::strcmp(pszFile, fuzzmodule::kModuleName) == 0)
        return &fuzzmodule::g_handle;
    return __real_dlopen(pszFile, nMode);
}

void* __wrap_dlsym(void* hLibrary, const char* pszName)
{
    if (hLibrary == &fuzzmodule::g_handle)
        return std::strcmp(pszName, "C_GetFunctionList") == 0
                   ? reinterpret_cast<void*>(&fuzzmodule::GetFunctionList)
                   : nullptr;
    return __real_dlsym(hLibrary, pszName);
}

int __wrap_dlclose(void* hLibrary)
{
    if (hLibrary == &fuzzmodule::g_handle)
        return 0;
    return __real_dlclose(hLibrary);
}

int __real_dlinfo(void* hLibrary, int nRequest, void* pInfo);

// The layer asks for the name a library is loaded under.
int __wrap_dlinfo(void* hLibrary, int nRequest, void* pInfo)
{
    if (hLibrary != &fuzzmodule::g_handle)
        return __real_dlinfo(hLibrary, nRequest, pInfo);
    if (nRequest != RTLD_DI_LINKMAP)
        return -1;
    static struct link_map map;
    map.l_name = const_cast<char*>(fuzzmodule::kModuleName);
    *static_cast<struct link_map**>(pInfo) = &map;
    return 0;
}

}
