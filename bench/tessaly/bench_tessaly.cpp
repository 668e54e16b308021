// The main window on a full SoftHSM2 token, offscreen: the time from creating the
// window to its first complete tree, and the time a token refresh after login takes
// (MainWindow::RefreshTokenRow, what the login action calls), each against the
// layer's own read of the same token (module loaded, objects listed and built, as
// the window reads them), side by side in one run.
//
//   bench_tessaly [key pairs, default 200 (600 objects)] [rounds, default 5]
//
// The token store goes to $TMPDIR (default /tmp).
//
// Every figure is the median of the rounds; the window and the layer take turns in
// going first. A round whose tree misses rows, or that shows a message box, stops
// the run.

#include <dlfcn.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTimer>
#include <QTreeWidgetItem>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "MainWindow.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Context.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "ProviderTreeWidget.h"
#include "Resources.h"
#include "TokenFiller.h"
#include "pkcs11provider.h"

namespace {

using bench::Seconds;
using bench::Quote;
using bench::Median;

const char kLabel[] = "bench";
const char kUserPin[] = "1234";
const char kProvider[] = "SoftHSM2";

using bench::Clock;

void Fill(const std::string& module, unsigned pairs)
{
    Clock::time_point a = Clock::now();
    const bench::FillResult fr = bench::FillTokenWithLabel(module, kLabel, kUserPin, pairs);
    if (!fr.ok)
        throw std::runtime_error(fr.error);
    printf("token filled with %lu objects (%u key pairs and certificates) in %.1f s\n", fr.objects, pairs,
           Seconds(a, Clock::now()));
}

// Builds every listed object, as the tree does; returns how many there are.
unsigned long BuildAll(CPKCS11Token* token)
{
    token->ReadObjects();
    unsigned long n = 0;
    for (unsigned long i = 0; i < token->GetCertificateCount(); ++i)
        if (CPKCS11Certificate* c = token->GetCertificate(i))
            n += c->IsDecoded() ? 1 : 0;
    for (unsigned long i = 0; i < token->GetAsymmetricKeyCount(); ++i)
        if (token->GetAsymmetricKey(i))
            ++n;
    return n;
}

struct LayerTimes {
    double start = 0, refresh = 0;
};

// The layer alone: load the module and read the token (logged out, as at start-up),
// then, logged in, read it again.
LayerTimes RunLayer(const std::string& module, unsigned pairs)
{
    LayerTimes t;
    CTSYException sink;
    Clock::time_point a = Clock::now();
    CPKCS11Context context(module.c_str(), kProvider, &sink);
    CPKCS11Token* token = nullptr;
    for (unsigned long i = 0; i < (unsigned long)context.GetSlotCount(); ++i) {
        CPKCS11Slot* slot = context.GetSlot(i);
        if (slot && slot->IsTokenPresent() && slot->IsTokenRecognized() && std::string(slot->GetToken()->GetLabel()) == kLabel)
            token = slot->GetToken();
    }
    if (!token || !token->OpenSession(false))
        throw std::runtime_error(std::string("layer: no token or no session: ") + sink.what());
    unsigned long n = BuildAll(token);
    Clock::time_point b = Clock::now();
    if (n != 2ul * pairs)
        throw std::runtime_error("layer: logged out, " + std::to_string(n) + " objects");
    if (!token->Login(kUserPin, NormalUser))
        throw std::runtime_error(std::string("layer: login: ") + sink.what());
    Clock::time_point c = Clock::now();
    n = BuildAll(token);
    Clock::time_point d = Clock::now();
    if (n != 3ul * pairs)
        throw std::runtime_error("layer: logged in, " + std::to_string(n) + " objects");
    t.start = Seconds(a, b);
    t.refresh = Seconds(c, d);
    return t;
}

int CountRows(const QTreeWidgetItem* row)
{
    int n = 1;
    for (int i = 0; i < row->childCount(); ++i)
        n += CountRows(row->child(i));
    return n;
}

QTreeWidgetItem* FindTokenRow(QTreeWidget* tree)
{
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* slot = tree->topLevelItem(i);
        for (int j = 0; j < slot->childCount(); ++j)
            if (slot->child(j)->text(0) == QLatin1String(kLabel))
                return slot->child(j);
    }
    return nullptr;
}

// Closes every modal widget that shows up (an error box would stop the run for good)
// and remembers that one did.
class ModalGuard : public QObject
{
public:
    ModalGuard()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                m_seen = true;
                modal->close();
            }
        });
        m_timer.start(10);
    }
    bool Seen() const { return m_seen; }

private:
    QTimer m_timer;
    bool m_seen = false;
};

struct WindowTimes {
    double construct = 0, start = 0, refresh = 0;
};

WindowTimes RunWindow(unsigned pairs)
{
    WindowTimes t;
    Clock::time_point a = Clock::now();
    std::unique_ptr<MainWindow> window(new MainWindow);
    Clock::time_point b = Clock::now();
    window->show();
    // Layout and first paint of what start-up built.
    QApplication::processEvents();
    Clock::time_point c = Clock::now();

    CPKCS11Provider* provider = nullptr;
    for (const auto& entry : window->GetProviders())
        provider = entry.second;
    CProviderTreeWidget* tree = provider ? provider->GetTreeWidget() : nullptr;
    QTreeWidgetItem* tokenRow = tree ? FindTokenRow(tree) : nullptr;
    if (!tokenRow)
        throw std::runtime_error("window: no token row");
    if (CountRows(tokenRow) - 1 != int(2 * pairs))
        throw std::runtime_error("window: logged out, " + std::to_string(CountRows(tokenRow) - 1) + " rows");
    CPKCS11Token* token = static_cast<CPKCS11Token*>(tree->GetObject(tokenRow));
    if (!token->Login(kUserPin, NormalUser))
        throw std::runtime_error("window: login failed");
    Clock::time_point d = Clock::now();
    window->RefreshTokenRow(token);
    QApplication::processEvents();
    Clock::time_point e = Clock::now();
    tokenRow = FindTokenRow(tree);
    if (!tokenRow || CountRows(tokenRow) - 1 != int(3 * pairs))
        throw std::runtime_error("window: logged in, wrong row count");
    token->Logout();
    window.reset();
    QApplication::processEvents();
    t.construct = Seconds(a, b);
    t.start = Seconds(a, c);
    t.refresh = Seconds(d, e);
    return t;
}

void DropDebugOutput(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg)
        fprintf(stderr, "%s\n", qPrintable(text));
}

} // namespace

int main(int argc, char** argv)
{
    unsigned pairs = argc > 1 ? unsigned(atoi(argv[1])) : 200;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    if (rounds <= 0) {
        fprintf(stderr, "usage: %s [key pairs] [rounds]\n", argv[0]);
        return 2;
    }
    const char* envModule = getenv("SOFTHSM2_MODULE");
    const std::string module = envModule && *envModule ? envModule : "/usr/lib/softhsm/libsofthsm2.so";
    // TMPDIR=/dev/shm fills the token many times faster than a disk does.
    const char* envTmp = getenv("TMPDIR");
    std::string tmpl = std::string(envTmp && *envTmp ? envTmp : "/tmp") + "/tessaly-bench-window-XXXXXX";
    if (!mkdtemp(&tmpl[0])) {
        perror("mkdtemp");
        return 1;
    }
    const std::string dir = tmpl.c_str(), conf = dir + "/softhsm2.conf", home = dir + "/home";
    auto cleanUp = [&] {
        if (system(("rm -rf " + Quote(dir)).c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", dir.c_str());
    };
    int status = 0;
    try {
        if (system(("mkdir -p " + Quote(dir + "/tokens") + " " + Quote(home + "/.Veskora")).c_str()) != 0)
            throw std::runtime_error("mkdir");
        std::ofstream(conf) << "directories.tokendir = " << dir << "/tokens\nobjectstore.backend = file\n"
                            << "log.level = ERROR\nslots.removable = false\n";
        setenv("SOFTHSM2_CONF", conf.c_str(), 1);
        const std::string init = "env -u LD_PRELOAD softhsm2-util --init-token --free --label " + std::string(kLabel) +
                                 " --so-pin 12345678 --pin " + kUserPin + " > /dev/null";
        if (system(init.c_str()) != 0)
            throw std::runtime_error("softhsm2-util --init-token failed");
        Fill(module, pairs);
        // The module stays mapped between the loads of the rounds.
        if (!dlopen(module.c_str(), RTLD_NOW))
            throw std::runtime_error("cannot keep the module loaded");

        // The window reads its providers from the settings file in HOME; no slot-event
        // warning (SoftHSM2 has no slot events).
        setenv("HOME", home.c_str(), 1);
        std::ofstream(home + "/.Veskora/tessaly.ini")
            << "[General]\nSkinEnabled=false\n\n[Providers]\n1\\Description=" << kProvider << "\n1\\Module="
            << module << "\n1\\ShowSEWarning=false\nsize=1\n";
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        qInstallMessageHandler(DropDebugOutput);
        QApplication app(argc, argv);
        tessaly::InitResources();
        ModalGuard modals;

        // One round of each unmeasured, to warm caches and the file system.
        RunLayer(module, pairs);
        RunWindow(pairs);
        std::vector<double> layerStart, layerRefresh, windowConstruct, windowStart, windowRefresh;
        for (int r = 0; r < rounds; ++r) {
            LayerTimes l;
            WindowTimes w;
            if (r % 2) {
                w = RunWindow(pairs);
                l = RunLayer(module, pairs);
            } else {
                l = RunLayer(module, pairs);
                w = RunWindow(pairs);
            }
            layerStart.push_back(l.start);
            layerRefresh.push_back(l.refresh);
            windowConstruct.push_back(w.construct);
            windowStart.push_back(w.start);
            windowRefresh.push_back(w.refresh);
        }
        if (modals.Seen())
            throw std::runtime_error("a message box showed up");
        const double ls = Median(layerStart), lr = Median(layerRefresh), wc = Median(windowConstruct),
                     ws = Median(windowStart), wr = Median(windowRefresh);
        printf("%u objects, median of %d rounds:\n", 3 * pairs, rounds);
        printf("  first complete tree  %.3f s (window built in %.3f s); layer's read %.3f s; ratio %.2f "
               "(goal <= 1.3)\n",
               ws, wc, ls, ws / ls);
        printf("  refresh after login  %.3f s; layer's read %.3f s; ratio %.2f (goal <= 1.3)\n", wr, lr, wr / lr);
    } catch (const std::exception& e) {
        fprintf(stderr, "bench_tessaly: %s\n", e.what());
        status = 1;
    }
    cleanUp();
    return status;
}
