// The request form's reading of large policy files, against the number of policies:
// Schema.xml and SchemaResources.en.xml written with N policies (about 530 bytes of
// schema each: a generated RSA key of a range of sizes and two subject fields),
// then, offscreen on a SoftHSM2 token,
//
//   open:   CertRequestDialog's constructor, which reads the files and lists every
//           policy by its caption;
//   show:   the first show, which builds the first policy's key step and fields;
//   last:   choosing the last policy of the list, built the same way.
//
//   bench_policy [rounds, default 3] [policy counts, default 500 1000 2000 5000 10000]
//
// Each figure is the median of the rounds; "per policy" is open divided by N, which
// stays flat when the reading grows linearly with the files.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <QApplication>
#include <QComboBox>

#include "BenchSupport.h"
#include "CertRequestDialog.h"
#include "EnrolGuiSupport.h"
#include "EnrolSupport.h"
#include "EnrolmentKeys.h"
#include "Fixture.h"

namespace {

using bench::Clock;
using bench::Median;
using bench::Milliseconds;

std::string PolicyId(int i)
{
    return "1.3.6.1.4.1.32473.2." + std::to_string(i + 1);
}

std::string SchemaFile(int policies)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<schema>\n";
    for (int i = 0; i < policies; ++i)
        xml += "  <policy id=\"" + PolicyId(i) +
               "\">\n"
               "    <key-generation><key-type>RSA</key-type><key-generation>Generate</key-generation>"
               "<key-size min=\"2048\" max=\"4096\">2048</key-size></key-generation>\n"
               "    <name><ava-block><attribute-value-assertion oid=\"2.5.4.6\"><enumeration source=\"c\" default=\"BG\"/>"
               "<type>PrintableString</type></attribute-value-assertion></ava-block>\n"
               "      <ava-block><attribute-value-assertion oid=\"2.5.4.3\"><minimal-length>1</minimal-length>"
               "<type>UTF8String</type></attribute-value-assertion></ava-block></name>\n"
               "  </policy>\n";
    return xml + "</schema>\n";
}

std::string ResourceFile(int policies)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<resources>\n";
    for (int i = 0; i < policies; ++i)
        xml += "  <item id=\"" + PolicyId(i) + "\"><caption>Certificate type " + std::to_string(i + 1) +
               "</caption></item>\n";
    xml += "  <item id=\"2.5.4.6\"><caption>Country</caption><hint>Two letters</hint><error>Not a code</error></item>\n"
           "  <item id=\"2.5.4.3\"><caption>Name</caption><hint>Full name</hint><error>Not a name</error></item>\n"
           "  <choice id=\"c\"><choice-item id=\"BG\">Bulgaria</choice-item><choice-item id=\"DE\">Germany</choice-item>"
           "</choice>\n";
    return xml + "</resources>\n";
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform's notes would fill the table.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::vector<int> counts;
    for (int i = 2; i < argc; ++i)
        counts.push_back(std::max(1, std::atoi(argv[i])));
    if (counts.empty())
        counts = {500, 1000, 2000, 5000, 10000};
    try {
        enroltest::SoftHsmToken hsm("bench_policy", "Policy");
        CPKCS11Token& token = hsm.Open();
        TKeysVector keys;
        const std::string dir = hsm.Dir();

        std::printf("policies   schema KB  open ms   per policy ms  show ms   last ms\n");
        for (int count : counts) {
            const std::string schema = SchemaFile(count);
            const QString schemaPath = QString::fromStdString(dir + "/Schema.xml");
            const QString resourcePath = QString::fromStdString(dir + "/SchemaResources.en.xml");
            fixture::WriteText(schemaPath.toStdString(), schema);
            fixture::WriteText(resourcePath.toStdString(), ResourceFile(count));
            std::vector<double> open, show, last;
            for (int round = 0; round < rounds; ++round) {
                enroltest::TestHost host;
                const Clock::time_point t0 = Clock::now();
                std::unique_ptr<CertRequestDialog> form(
                    new CertRequestDialog(schemaPath, resourcePath, keys, token, host, host.HostWidget()));
                const Clock::time_point t1 = Clock::now();
                form->show();
                app.processEvents();
                const Clock::time_point t2 = Clock::now();
                QComboBox* types = enroltest::Combo(form.get(), "comboCertType");
                if (types->count() != count || !host.errors.isEmpty())
                    throw std::runtime_error("the form lists " + std::to_string(types->count()) + " policies");
                types->setCurrentIndex(count - 1);
                app.processEvents();
                const Clock::time_point t3 = Clock::now();
                if (!host.errors.isEmpty())
                    throw std::runtime_error("the last policy failed: " + host.errors.first().toStdString());
                open.push_back(Milliseconds(t0, t1));
                show.push_back(Milliseconds(t1, t2));
                last.push_back(Milliseconds(t2, t3));
            }
            std::printf("%8d   %9.0f  %9.1f  %13.4f  %7.1f  %7.1f\n", count, schema.size() / 1024.0, Median(open),
                        Median(open) / count, Median(show), Median(last));
            std::fflush(stdout);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_policy: %s\n", e.what());
        return 1;
    }
    return 0;
}
