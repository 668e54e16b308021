// Reading a full SoftHSM2 token: the layer (certificates decoded) against
// `pkcs11-tool --list-objects --login` and against a bare loop that makes the
// same PKCS#11 calls as the layer and nothing else, side by side in one run.
//
//   bench_pkcs11_objects [key pairs, default 200 (600 objects)] [rounds, default 5]
//
// The token store goes to $TMPDIR (default /tmp).
//
// Before timing, the layer and the bare loop each run once through a counting
// module, and the run stops when their calls differ. The rounds alternate the
// order of the three; the ratios are the medians of the per-round ratios.

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Context.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "TokenFiller.h"

namespace {

using bench::Seconds;
using bench::Quote;
using bench::ExeDir;
using bench::Median;

const char kLabel[] = "bench";
const char kUserPin[] = "1234";

using bench::Clock;

struct Result {
    unsigned long certificates = 0, decoded = 0, keys = 0;
};

std::string Trim(const unsigned char* p, size_t n)
{
    std::string s(reinterpret_cast<const char*>(p), n);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// The layer as the main window uses it: context, slots, token, login, objects.
Result RunLayer(const std::string& module)
{
    Result r;
    CTSYException sink;
    CPKCS11Context context(module.c_str(), "bench", &sink);
    CPKCS11Token* token = nullptr;
    for (unsigned long i = 0; i < (unsigned long)context.GetSlotCount() && !token; ++i) {
        CPKCS11Slot* slot = context.GetSlot(i);
        if (slot && slot->IsTokenPresent() && std::string(slot->GetToken()->GetLabel()) == kLabel)
            token = slot->GetToken();
    }
    if (!token || !token->OpenSession(true) || !token->Login(kUserPin, NormalUser))
        throw std::runtime_error(std::string("layer: no token or no login: ") + sink.what());
    token->ReadObjects();
    r.certificates = token->GetCertificateCount();
    for (unsigned long i = 0; i < r.certificates; ++i) {
        CPKCS11Certificate* c = token->GetCertificate(i);
        if (c && c->IsDecoded())
            ++r.decoded;
    }
    for (unsigned long i = 0; i < token->GetAsymmetricKeyCount(); ++i)
        if (token->GetAsymmetricKey(i))
            ++r.keys;
    return r;
}

// The same PKCS#11 calls as RunLayer, straight, with no objects, maps or decoding.
Result RunBare(const std::string& module)
{
    Result r;
    void* lib = dlopen(module.c_str(), RTLD_LAZY);
    if (!lib)
        throw std::runtime_error(dlerror());
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR fl = nullptr;
    if (!getList || getList(&fl) != CKR_OK)
        throw std::runtime_error("bare: no function list");
    CK_C_INITIALIZE_ARGS args;
    memset(&args, 0, sizeof args);
    args.flags = CKF_OS_LOCKING_OK;
    CK_RV rv = fl->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED)
        throw std::runtime_error("bare: C_Initialize");
    CK_ULONG nSlots = 0;
    fl->C_GetSlotList(CK_FALSE, nullptr, &nSlots);
    std::vector<CK_SLOT_ID> slots(nSlots);
    fl->C_GetSlotList(CK_FALSE, slots.data(), &nSlots);

    std::vector<CK_SLOT_ID> opened;  // slots looked at, closed at the end
    CK_SLOT_ID tokenSlot = 0;
    bool found = false;
    for (CK_ULONG i = 0; i < nSlots && !found; ++i) {
        opened.push_back(slots[i]);
        CK_SLOT_INFO slotInfo;
        memset(&slotInfo, 0, sizeof slotInfo);
        fl->C_GetSlotInfo(slots[i], &slotInfo);
        if (!(slotInfo.flags & CKF_TOKEN_PRESENT))
            continue;
        CK_ULONG nMech = 0;
        if (fl->C_GetMechanismList(slots[i], nullptr, &nMech) == CKR_OK) {
            std::vector<CK_MECHANISM_TYPE> mech(nMech ? nMech : 1);
            fl->C_GetMechanismList(slots[i], mech.data(), &nMech);
        }
        // The layer reads the token information once, for the slot and its token.
        CK_TOKEN_INFO info;
        fl->C_GetTokenInfo(slots[i], &info);
        if (Trim(info.label, sizeof info.label) == kLabel) {
            tokenSlot = slots[i];
            found = true;
        }
    }
    if (!found)
        throw std::runtime_error("bare: no token");
    CK_SESSION_HANDLE s = 0;
    fl->C_OpenSession(tokenSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &s);
    if (fl->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR)kUserPin, CK_ULONG(strlen(kUserPin))) != CKR_OK)
        throw std::runtime_error("bare: login");

    // Each object in one call with buffers of the usual sizes, everything it needs
    // read at once, CKA_ID included, right after its class was searched.
    auto readAll = [&](CK_OBJECT_HANDLE h, std::vector<std::pair<CK_ATTRIBUTE_TYPE, CK_ULONG>> attrs) {
        std::vector<CK_ATTRIBUTE> a;
        std::vector<unsigned char> buffer;
        size_t total = 0;
        for (auto& v : attrs)
            total += v.second;
        buffer.resize(total);
        size_t offset = 0;
        for (auto& v : attrs) {
            a.push_back({v.first, buffer.data() + offset, v.second});
            offset += v.second;
        }
        fl->C_GetAttributeValue(s, h, a.data(), CK_ULONG(a.size()));
    };
    const CK_ULONG b = sizeof(CK_BBOOL), u = sizeof(CK_ULONG);
    const CK_OBJECT_CLASS classes[] = {CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY};
    for (int pass = 0; pass < 3; ++pass) {
        CK_OBJECT_CLASS cls = classes[pass];
        CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof cls};
        if (fl->C_FindObjectsInit(s, &t, 1) != CKR_OK)
            continue;
        std::vector<CK_OBJECT_HANDLE> found;
        CK_OBJECT_HANDLE batch[64];
        CK_ULONG got = 0;
        while (fl->C_FindObjects(s, batch, 64, &got) == CKR_OK && got)
            found.insert(found.end(), batch, batch + got);
        fl->C_FindObjectsFinal(s);
        for (CK_OBJECT_HANDLE h : found) {
            if (pass == 0) {
                readAll(h, {{CKA_VALUE, 4096}, {CKA_LABEL, 256}, {CKA_ID, 1024}});
                ++r.certificates;
            } else if (pass == 1) {
                readAll(h, {{CKA_LABEL, 256}, {CKA_ID, 1024}, {CKA_KEY_TYPE, u}, {CKA_ENCRYPT, b}, {CKA_VERIFY, b},
                            {CKA_VERIFY_RECOVER, b}, {CKA_WRAP, b}, {CKA_MODULUS_BITS, u}});
                ++r.keys;
            } else {
                readAll(h, {{CKA_LABEL, 256}, {CKA_ID, 1024}, {CKA_KEY_TYPE, u}, {CKA_DECRYPT, b}, {CKA_SIGN, b},
                            {CKA_UNWRAP, b}});
                ++r.keys;
            }
        }
    }
    fl->C_CloseSession(s);
    for (CK_SLOT_ID id : opened)
        fl->C_CloseAllSessions(id);
    fl->C_Finalize(nullptr);
    dlclose(lib);
    r.decoded = r.certificates;
    return r;
}

double RunTool(const std::string& module, const std::string& conf)
{
    std::string cmd = "env -u LD_PRELOAD SOFTHSM2_CONF=" + Quote(conf) + " pkcs11-tool --module " + Quote(module) +
                      " --token-label " + kLabel + " --list-objects --login --pin " + kUserPin + " > /dev/null 2>&1";
    Clock::time_point a = Clock::now();
    int status = system(cmd.c_str());
    Clock::time_point b = Clock::now();
    if (status != 0)
        throw std::runtime_error("pkcs11-tool failed: " + cmd);
    return Seconds(a, b);
}

typedef std::map<std::string, unsigned long> Counts;

Counts ReadCounts(void* counting)
{
    auto count = reinterpret_cast<unsigned long (*)(int, const char**)>(dlsym(counting, "P11Bench_Count"));
    Counts out;
    for (int i = 0;; ++i) {
        const char* name = nullptr;
        unsigned long n = count(i, &name);
        if (n == (unsigned long)-1)
            break;
        out[name] = n;
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    unsigned pairs = argc > 1 ? unsigned(atoi(argv[1])) : 200;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    if (pairs == 0 || rounds <= 0) {
        fprintf(stderr, "usage: %s [key pairs] [rounds]\n", argv[0]);
        return 2;
    }
    const char* envModule = getenv("SOFTHSM2_MODULE");
    std::string module = envModule && *envModule ? envModule : "/usr/lib/softhsm/libsofthsm2.so";
    // TMPDIR=/dev/shm fills the token many times faster than a disk does.
    const char* envTmp = getenv("TMPDIR");
    std::string tmpl = std::string(envTmp && *envTmp ? envTmp : "/tmp") + "/tessaly-bench-pkcs11-XXXXXX";
    if (!mkdtemp(&tmpl[0])) {
        perror("mkdtemp");
        return 1;
    }
    std::string dir = tmpl.c_str(), conf = dir + "/softhsm2.conf";
    // P11BENCH_KEEP=1 keeps the token store for a closer look.
    auto cleanUp = [&] {
        if (getenv("P11BENCH_KEEP"))
            printf("token store kept in %s\n", dir.c_str());
        else if (system(("rm -rf " + Quote(dir)).c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", dir.c_str());
    };
    try {
        if (system(("mkdir -p " + Quote(dir + "/tokens")).c_str()) != 0)
            throw std::runtime_error("mkdir");
        std::ofstream(conf) << "directories.tokendir = " << dir << "/tokens\nobjectstore.backend = file\n"
                            << "log.level = ERROR\nslots.removable = false\n";
        setenv("SOFTHSM2_CONF", conf.c_str(), 1);
        std::string init = "env -u LD_PRELOAD softhsm2-util --init-token --free --label " + std::string(kLabel) +
                           " --so-pin 12345678 --pin " + kUserPin + " > /dev/null";
        if (system(init.c_str()) != 0)
            throw std::runtime_error("softhsm2-util --init-token failed");

        // Fill the token.
        {
            Clock::time_point a = Clock::now();
            const bench::FillResult fr = bench::FillTokenWithLabel(module, kLabel, kUserPin, pairs);
            if (!fr.ok)
                throw std::runtime_error(fr.error);
            printf("token filled with %lu objects (%u key pairs and certificates) in %.1f s\n", fr.objects, pairs,
                   Seconds(a, Clock::now()));
        }

        // Same calls: the layer and the bare loop through the counting module.
        std::string counting = ExeDir() + "/libp11bench_count.so";
        setenv("P11BENCH_TARGET_MODULE", module.c_str(), 1);
        void* countLib = dlopen(counting.c_str(), RTLD_NOW);
        if (!countLib)
            throw std::runtime_error(std::string("counting module: ") + dlerror());
        auto reset = reinterpret_cast<void (*)()>(dlsym(countLib, "P11Bench_ResetCounts"));
        reset();
        Result layerCheck = RunLayer(counting);
        Counts layerCounts = ReadCounts(countLib);
        reset();
        Result bareCheck = RunBare(counting);
        Counts bareCounts = ReadCounts(countLib);
        bool same = layerCounts == bareCounts;
        printf("PKCS#11 calls per read (layer / bare loop):\n");
        for (auto& c : layerCounts)
            if (c.second || bareCounts[c.first])
                printf("  %-20s %7lu %7lu%s\n", c.first.c_str(), c.second, bareCounts[c.first],
                       c.second == bareCounts[c.first] ? "" : "   <- differs");
        if (!same)
            throw std::runtime_error("the bare loop does not make the layer's calls");
        printf("objects read: %lu certificates (%lu decoded), %lu keys\n", layerCheck.certificates,
               layerCheck.decoded, layerCheck.keys);
        if (layerCheck.decoded != layerCheck.certificates || bareCheck.keys != layerCheck.keys)
            throw std::runtime_error("not every object was read");

        // Each round reverses the order of the last, so that every side goes first and
        // last equally often: the side read right after pkcs11-tool's process pays more.
        std::vector<double> layer, bare, tool, layerByBare, layerByTool;
        for (int i = 0; i < rounds; ++i) {
            double tl = 0, tb = 0, tt = 0;
            auto timeLayer = [&] {
                Clock::time_point a = Clock::now();
                RunLayer(module);
                tl = Seconds(a, Clock::now());
            };
            auto timeBare = [&] {
                Clock::time_point a = Clock::now();
                RunBare(module);
                tb = Seconds(a, Clock::now());
            };
            if (i % 2 == 0) {
                timeLayer();
                timeBare();
                tt = RunTool(module, conf);
            } else {
                tt = RunTool(module, conf);
                timeBare();
                timeLayer();
            }
            layer.push_back(tl);
            bare.push_back(tb);
            tool.push_back(tt);
            layerByBare.push_back(tl / tb);
            layerByTool.push_back(tl / tt);
        }
        const double l = Median(layer), br = Median(bare), t = Median(tool);
        printf("%lu objects, median of %d rounds in alternating order: layer %.4f s, bare loop %.4f s, "
               "pkcs11-tool %.4f s\n",
               layerCheck.certificates + layerCheck.keys, rounds, l, br, t);
        printf("layer / pkcs11-tool = %.3f (ratio of the medians %.3f; goal <= 0.3)\n", Median(layerByTool), l / t);
        printf("layer / bare loop   = %.3f (ratio of the medians %.3f; goal <= 1.1)\n", Median(layerByBare), l / br);
    } catch (const std::exception& e) {
        fprintf(stderr, "bench_pkcs11_objects: %s\n", e.what());
        cleanUp();
        return 1;
    }
    cleanUp();
    return 0;
}
