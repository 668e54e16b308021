// The request form under the offscreen platform, on a SoftHSM2 token: policies,
// key sizes and fields as the policy files give them, the checks of the fields, the
// key pair it generates, and the request it leaves for the driver.
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QtTest>

#include <memory>

#include "CertRequestDialog.h"
#include "EnrolGuiSupport.h"
#include "EnrolSupport.h"
#include "ModalDriver.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Token.h"
#include "RequestCheck.h"

using namespace enroltest;

namespace {

const char* const kGenerate = "1.3.6.1.4.1.32473.1.1";
const char* const kExistingRsa = "1.3.6.1.4.1.32473.1.2";
const char* const kNoCaption = "1.3.6.1.4.1.32473.9.9";
const char* const kExistingDsa = "1.3.6.1.4.1.32473.1.3";

// Answers a message box with OK, noting its text.
fixture::ModalDriver::Handler Note(QStringList& seen, const char* button = "OK")
{
    return [&seen, button](QWidget* w) {
        if (QMessageBox* box = qobject_cast<QMessageBox*>(w))
            seen << box->text();
        fixture::ModalDriver::Click(w, QLatin1String(button));
    };
}

QPushButton* Button(QWidget* form, const char* name)
{
    return form->findChild<QPushButton*>(QLatin1String(name));
}

void ChoosePolicy(QWidget* form, const char* id)
{
    QComboBox* types = Combo(form, "comboCertType");
    types->setCurrentIndex(types->findData(QLatin1String(id)));
}

QString Write(const QString& dir, const QString& name, const std::string& text)
{
    const QString path = dir + QLatin1Char('/') + name;
    fixture::WriteText(path.toStdString(), text);
    return path;
}

} // namespace

class DialogTest : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<SoftHsmToken> m_hsm;
    CPKCS11Token* m_token = nullptr;
    TKeysVector m_keys;
    QString m_scratch;

    std::unique_ptr<CertRequestDialog> Form(TestHost& host, const QString& language = QStringLiteral("en"),
                                            const QString& schema = QString())
    {
        return std::unique_ptr<CertRequestDialog>(
            new CertRequestDialog(schema.isEmpty() ? ShippedFolder() + QStringLiteral("/Schema.xml") : schema,
                                  ShippedFolder() + QStringLiteral("/SchemaResources.%1.xml").arg(language), m_keys,
                                  *m_token, host, host.HostWidget()));
    }

private slots:
    void initTestCase()
    {
        m_hsm.reset(new SoftHsmToken("enrol_dialog", "Dialog"));
        m_scratch = QString::fromStdString(m_hsm->Dir());
        ImportKey(*m_hsm, "rsa", "rsa:1024", "0A01", "Existing RSA");
        ImportKey(*m_hsm, "dsa", "dsa:1024", "0B01", "Existing DSA");
    }

    void init()
    {
        CurrentFaults() = Faults();
        m_token = &m_hsm->Open(true);
        // Pairs an earlier test generated go, so every test sees the two imported ones.
        for (unsigned long i = 0; i < m_token->GetAsymmetricKeyCount(); ++i) {
            CPKCS11AsymmetricKey* key = m_token->GetAsymmetricKey(i);
            if (key->GetIDBytes().size() == 16)
                QVERIFY(key->Destroy());
        }
        m_token->ReadObjects();
        m_keys = CollectEnrolmentKeys(*m_token, KeysForRequest, nullptr);
        QCOMPARE(int(m_keys.size()), 2);
    }

    void cleanup() { m_hsm->Close(); }
    void cleanupTestCase() { m_hsm.reset(); }

    // Captions, key sizes, fields and key lists come from the policy files.
    void formFollowsThePolicyFiles()
    {
        TestHost host;
        auto form = Form(host);
        fixture::ModalDriver driver;
        QStringList policies, sizes, captions, rsaKeys, dsaKeys, countries;
        bool generateShown = false, selectShown = false;
        QString country;
        driver.Expect(
            [&](QWidget* w) {
                policies = Items(Combo(w, "comboCertType"));
                generateShown = w->findChild<QWidget*>("gbGenerateKey")->isVisible();
                sizes = Items(Combo(w, "cbKeyLength"));
                for (QOIDInput* f : Fields(w))
                    captions << f->findChild<QLabel*>()->text();
                QComboBox* list = Field(w, "2.5.4.6")->List();
                country = list->currentData().toString();
                countries = Items(list).mid(0, 3);
                ChoosePolicy(w, kExistingRsa);
                selectShown = w->findChild<QWidget*>("gbSelectKey")->isVisible() &&
                              !w->findChild<QWidget*>("gbGenerateKey")->isVisible();
                rsaKeys = Items(Combo(w, "comboKeyPair"));
                ChoosePolicy(w, kExistingDsa);
                dsaKeys = Items(Combo(w, "comboKeyPair"));
                fixture::ModalDriver::Click(w, "btnCancel");
            },
            "CertRequestDialog");
        QCOMPARE(form->exec(), int(QDialog::Rejected));
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));

        QCOMPARE(policies,
                 (QStringList{"Personal certificate, new RSA key pair", "Personal certificate, existing RSA key pair",
                              "Personal certificate, existing DSA key pair"}));
        QVERIFY(generateShown);
        QCOMPARE(sizes, (QStringList{"2048", "2560", "3072", "3584", "4096"}));
        QCOMPARE(captions, (QStringList{"Country", "Organisation", "Name", "E-mail address"}));
        QCOMPARE(country, QStringLiteral("BG"));
        QCOMPARE(countries, (QStringList{"Bulgaria", "Austria", "Belgium"}));
        QVERIFY(selectShown);
        QCOMPARE(rsaKeys, QStringList{"Existing RSA"});
        QCOMPARE(dsaKeys, QStringList{"Existing DSA"});
        QVERIFY(!form->IsNewKeyGenerated());
        QCOMPARE(form->GetRequest().size(), size_t(0));
        QVERIFY(host.errors.isEmpty());
    }

    // Too short, a character the type cannot hold, too long: each its message, and
    // the form stays open until the fields are right.
    void lengthAndTypeMessages()
    {
        TestHost host;
        auto form = Form(host);
        fixture::ModalDriver driver;
        QStringList warnings;
        driver.Expect(
            [&](QWidget* w) {
                ChoosePolicy(w, kExistingRsa);
                QTest::mouseClick(Button(w, "btnOK"), Qt::LeftButton); // the name is empty
                Type(Field(w, "2.5.4.3"), QStringLiteral("Ivan"));
                Type(Field(w, "1.2.840.113549.1.9.1"), QString::fromUtf8("иван@example.org"));
                QTest::mouseClick(Button(w, "btnOK"), Qt::LeftButton);
                Field(w, "2.5.4.3")->CheckText(QString(65, QLatin1Char('x')));
                QTest::mouseClick(Button(w, "btnCancel"), Qt::LeftButton);
            },
            "CertRequestDialog");
        driver.Expect(Note(warnings), "QMessageBox");
        driver.Expect(Note(warnings), "QMessageBox");
        driver.Expect(Note(warnings), "QMessageBox");
        QCOMPARE(form->exec(), int(QDialog::Rejected));
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(warnings, (QStringList{"The text is too short.",
                                        "The e-mail address may hold only Latin letters, digits and the usual signs "
                                        "of an address.",
                                        "The text is too long."}));
        QCOMPARE(form->GetRequest().size(), size_t(0));
    }

    // Two fields that both fail: each move of the user checks the field left once;
    // the focus that comes back when a warning closes, and the warning itself, check
    // nothing, so the two fields never hand the check back and forth.
    void boundedWarningsWithTwoFailingFields()
    {
        const QString schema = Write(
            m_scratch, "TwoFields.xml",
            "<schema><policy id=\"" + std::string(kExistingRsa) +
                "\"><key-generation><key-type>RSA</key-type>"
                "<key-generation>existing</key-generation></key-generation><name><ava-block>"
                "<attribute-value-assertion oid=\"2.5.4.3\"><type>PrintableString</type></attribute-value-assertion>"
                "<attribute-value-assertion oid=\"2.5.4.10\"><type>PrintableString</type></attribute-value-assertion>"
                "</ava-block></name></policy></schema>");
        TestHost host;
        auto form = Form(host, QStringLiteral("en"), schema);
        QStringList warnings;
        int afterwards = -1;
        bool extra = false;
        // The user goes from one box to the other. The offscreen platform has no window
        // manager to activate the form again when a warning closes, so the test does,
        // and puts the focus into the box the move starts from; neither is a move of
        // the user, and neither checks anything. The check itself runs from the event
        // loop once the move is done, and its warning is the driver's next modal.
        auto move = [](QWidget* w, const char* from, const char* to) {
            QApplication::setActiveWindow(w);
            Field(w, from)->TextBox()->setFocus(Qt::OtherFocusReason);
            Field(w, to)->TextBox()->setFocus(Qt::MouseFocusReason);
        };
        fixture::ModalDriver driver;
        driver.Expect(
            [&](QWidget* w) {
                QApplication::setActiveWindow(w);
                Field(w, "2.5.4.3")->TextBox()->setFocus(Qt::MouseFocusReason);
                Keys(Field(w, "2.5.4.3")->TextBox(), QString::fromUtf8("Жан"));
                move(w, "2.5.4.3", "2.5.4.10"); // warning 1: the name
            },
            "CertRequestDialog");
        driver.Expect(Note(warnings), "QMessageBox");
        driver.Expect([&](QWidget* w) { move(w, "2.5.4.3", "2.5.4.10"); }, "CertRequestDialog"); // warning 2
        driver.Expect(Note(warnings, "Cancel"), "QMessageBox");
        driver.Expect(
            [&](QWidget* w) {
                Keys(Field(w, "2.5.4.10")->TextBox(), QString::fromUtf8("Жоро"));
                move(w, "2.5.4.10", "2.5.4.3"); // warning 3: the organisation
            },
            "CertRequestDialog");
        driver.Expect(Note(warnings), "QMessageBox");
        driver.Expect(
            [&](QWidget* w) {
                QLineEdit* name = Field(w, "2.5.4.3")->TextBox();
                name->selectAll();
                Keys(name, QStringLiteral("Jan"));
                move(w, "2.5.4.3", "2.5.4.10"); // the name is right now: no warning
                // Runs after the check of that move: inside its warning, if one came.
                QTimer::singleShot(0, w, [&, w] {
                    afterwards = warnings.size();
                    if (QOIDInput::IsWarningOpen()) {
                        extra = true;
                        fixture::ModalDriver::Click(QApplication::activeModalWidget(), "OK");
                    }
                    fixture::ModalDriver::Click(w, "btnCancel");
                });
            },
            "CertRequestDialog");
        QCOMPARE(form->exec(), int(QDialog::Rejected));
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QVERIFY(!extra);
        QCOMPARE(afterwards, 3);
        QCOMPARE(warnings, (QStringList{"The name holds a character that cannot be used.",
                                        "The name holds a character that cannot be used.",
                                        "The organisation name holds a character that cannot be used."}));
    }

    // A generated pair gets 16 random bytes as CKA_ID and their hex text in groups
    // 8-4-4-4-12 as label; the request carries its key and what the fields show.
    void generatedPairAndItsRequest()
    {
        TestHost host;
        auto form = Form(host);
        fixture::ModalDriver driver;
        driver.Expect(
            [&](QWidget* w) {
                Type(Field(w, "2.5.4.3"), QString::fromUtf8("Иван Петров"));
                // A later edit counts at once: the request carries what the box shows.
                Type(Field(w, "2.5.4.10"), QStringLiteral("Old"));
                Type(Field(w, "2.5.4.10"), QString::fromUtf8("R&D <Ново>"));
                Field(w, "2.5.4.6")->List()->setCurrentIndex(Field(w, "2.5.4.6")->List()->findData("DE"));
                QTest::mouseClick(Button(w, "btnOK"), Qt::LeftButton);
            },
            "CertRequestDialog");
        const unsigned long before = m_token->GetAsymmetricKeyCount();
        QCOMPARE(form->exec(), int(QDialog::Accepted));
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QVERIFY(form->IsNewKeyGenerated());
        QCOMPARE(QString::fromLatin1(form->GetPolicyId()), QLatin1String(kGenerate));

        m_token->ReadObjects();
        QCOMPARE(m_token->GetAsymmetricKeyCount(), before + 2);
        CPKCS11AsymmetricKey* pub = nullptr;
        for (unsigned long i = 0; i < m_token->GetAsymmetricKeyCount(); ++i) {
            CPKCS11AsymmetricKey* k = m_token->GetAsymmetricKey(i);
            if (k->GetIDBytes().size() == 16 && (k->GetKeyFlags() & KEY_CLASS_PUBLIC))
                pub = k;
        }
        QVERIFY(pub);
        const QString id = QString::fromLatin1(pub->GetID());
        const QString label = QString::fromUtf8(pub->GetLabel());
        QVERIFY2(QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
                     .match(label)
                     .hasMatch(),
                 qPrintable(label));
        QCOMPARE(QString(label).remove(QLatin1Char('-')), id);
        QCOMPARE(pub->GetModulusBits(), 2048ul);

        const TByteArrayAutoPtr& request = form->GetRequest();
        QVERIFY(VerifyCertificationRequest(request.get(), request.size()));
        const RequestView view = ReadRequest(request.get(), request.size());
        QVERIFY(view.verified);
        QCOMPARE(fixture::ToHex(view.publicKeyInfo), fixture::ToHex(m_hsm->PublicKeyInfoFromToken(*pub)));
        QCOMPARE(int(view.subject.size()), 3); // the e-mail address was left empty
        QCOMPARE(view.subject[0].oid, std::string("2.5.4.6"));
        QCOMPARE(view.subject[0].content, Utf8("DE"));
        QCOMPARE(view.subject[1].content, Utf8("R&D <Ново>"));
        QCOMPARE(view.subject[1].tag, 12);
        QCOMPARE(view.subject[2].content, Utf8("Иван Петров"));
        QVERIFY(host.errors.isEmpty());
    }

    // The policy the user chose stays when the form is shown again (minimised and
    // restored); each policy keeps its fields and key length.
    void policyStaysAsChosen()
    {
        TestHost host;
        auto form = Form(host);
        fixture::ModalDriver driver;
        QString afterShow, keptName, keptLength;
        driver.Expect(
            [&](QWidget* w) {
                Combo(w, "cbKeyLength")->setCurrentIndex(2);
                ChoosePolicy(w, kExistingRsa);
                Type(Field(w, "2.5.4.3"), QStringLiteral("Kept"));
                w->showMinimized();
                w->showNormal();
                QShowEvent show;
                QApplication::sendEvent(w, &show);
                afterShow = Combo(w, "comboCertType")->currentData().toString();
                ChoosePolicy(w, kGenerate);
                keptLength = Combo(w, "cbKeyLength")->currentText();
                ChoosePolicy(w, kExistingRsa);
                keptName = Field(w, "2.5.4.3")->TextBox()->text();
                fixture::ModalDriver::Click(w, "btnCancel");
            },
            "CertRequestDialog");
        form->exec();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(afterShow, QLatin1String(kExistingRsa));
        QCOMPARE(keptLength, QStringLiteral("3072"));
        QCOMPARE(keptName, QStringLiteral("Kept"));
    }

    // A list shows an entry: that entry is what the request carries, also without a
    // default and without the user touching the list.
    void theEntryAListShowsIsChosen()
    {
        const QString schema =
            Write(m_scratch, "NoDefault.xml",
                  "<schema><policy id=\"" + std::string(kExistingRsa) +
                      "\"><key-generation><key-type>RSA</key-type>"
                      "<key-generation>existing</key-generation></key-generation><name><ava-block>"
                      "<attribute-value-assertion oid=\"2.5.4.6\"><enumeration source=\"countries\"/>"
                      "<type>PrintableString</type></attribute-value-assertion></ava-block></name></policy></schema>");
        TestHost host;
        auto form = Form(host, QStringLiteral("en"), schema);
        fixture::ModalDriver driver;
        driver.Expect([&](QWidget* w) { QTest::mouseClick(Button(w, "btnOK"), Qt::LeftButton); }, "CertRequestDialog");
        QCOMPARE(form->exec(), int(QDialog::Accepted));
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        const RequestView view = ReadRequest(form->GetRequest().get(), form->GetRequest().size());
        QCOMPARE(int(view.subject.size()), 1);
        QCOMPARE(view.subject[0].content, Utf8("BG")); // the first entry of the list
        QVERIFY(!form->IsNewKeyGenerated());
    }

    // The subject a policy's fields make: a policy without fields sends an empty name, a
    // field without a string type (or of no known type) is asked for but left out.
    void subjectOfFieldsWithoutTypes_data()
    {
        QTest::addColumn<QString>("name");  // the policy's name element
        QTest::addColumn<QString>("typed"); // what is typed into every text field
        QTest::addColumn<QStringList>("subject");
        QTest::newRow("no fields") << QString() << QString() << QStringList();
        QTest::newRow("no name element at all") << QStringLiteral("-") << QString() << QStringList();
        QTest::newRow("field without type")
            << "<ava-block><attribute-value-assertion oid=\"2.5.4.3\"/></ava-block>" << "Nobody" << QStringList();
        QTest::newRow("typed and untyped")
            << "<ava-block><attribute-value-assertion oid=\"2.5.4.10\"><type>teletexstring</type>"
               "</attribute-value-assertion></ava-block><ava-block><attribute-value-assertion oid=\"2.5.4.3\">"
               "<type>UTF8String</type></attribute-value-assertion></ava-block>"
            << "Dora" << QStringList{"Dora"};
    }

    void subjectOfFieldsWithoutTypes()
    {
        QFETCH(QString, name);
        QFETCH(QString, typed);
        QFETCH(QStringList, subject);
        const QString nameElement = name == QLatin1String("-") ? QString() : "<name>" + name + "</name>";
        const QString schema = Write(m_scratch, "Untyped.xml",
                                     "<schema><policy id=\"" + std::string(kExistingRsa) +
                                         "\"><key-generation><key-type>RSA</key-type><key-generation>existing"
                                         "</key-generation></key-generation>" +
                                         nameElement.toStdString() + "</policy></schema>");
        TestHost host;
        auto form = Form(host, QStringLiteral("en"), schema);
        fixture::ModalDriver driver;
        QList<QMessageBox*> boxes;
        driver.Expect(
            [&](QWidget* w) {
                for (QOIDInput* field : w->findChildren<QOIDInput*>())
                    if (field->TextBox())
                        Type(field, typed);
                QTest::mouseClick(Button(w, "btnOK"), Qt::LeftButton);
            },
            "CertRequestDialog");
        QCOMPARE(form->exec(), int(QDialog::Accepted));
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QVERIFY2(host.errors.isEmpty(), qPrintable(host.errors.join("; ")));
        const RequestView view = ReadRequest(form->GetRequest().get(), form->GetRequest().size());
        QVERIFY(view.verified);
        QStringList got;
        for (const auto& value : view.subject)
            got << QString::fromUtf8(reinterpret_cast<const char*>(value.content.data()), int(value.content.size()));
        QCOMPARE(got, subject);
    }

    // Policies that cannot be used are reported when chosen and offer no OK: a DSA
    // pair to generate, key sizes out of range, no caption in the resource file. The
    // others stay usable, among them one whose field has a type of no known name.
    void unusablePoliciesAreReported()
    {
        const QString schema =
            Write(m_scratch, "Faulty.xml",
                  "<schema>"
                  "<policy id=\"" +
                      std::string(kGenerate) +
                      "\"><key-generation><key-type>DSA</key-type>"
                      "<key-generation>new</key-generation></key-generation></policy>"
                      "<policy id=\"" +
                      std::string(kExistingRsa) +
                      "\"><key-generation><key-size min=\"4096\" max=\"2048\"/>"
                      "</key-generation></policy>"
                      "<policy id=\"" +
                      std::string(kExistingDsa) +
                      "\"><key-generation><key-type>DSA</key-type>"
                      "<key-generation>existing</key-generation></key-generation><name><ava-block>"
                      "<attribute-value-assertion oid=\"2.5.4.3\"><type>Utf8String</type></attribute-value-assertion>"
                      "</ava-block></name></policy><policy id=\"" +
                      std::string(kNoCaption) + "\"/></schema>");
        TestHost host;
        auto form = Form(host, QStringLiteral("en"), schema);
        fixture::ModalDriver driver;
        QList<bool> okEnabled;
        QStringList captions;
        driver.Expect(
            [&](QWidget* w) {
                okEnabled << Button(w, "btnOK")->isEnabled();
                ChoosePolicy(w, kExistingRsa);
                okEnabled << Button(w, "btnOK")->isEnabled();
                ChoosePolicy(w, kExistingDsa);
                okEnabled << Button(w, "btnOK")->isEnabled();
                captions << Combo(w, "comboCertType")->currentText();
                ChoosePolicy(w, kNoCaption);
                okEnabled << Button(w, "btnOK")->isEnabled();
                captions << Combo(w, "comboCertType")->currentText();
                QTest::mouseClick(Button(w, "btnOK"), Qt::LeftButton);
                fixture::ModalDriver::Click(w, "btnCancel");
            },
            "CertRequestDialog");
        QCOMPARE(form->exec(), int(QDialog::Rejected));
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(okEnabled, (QList<bool>{false, false, true, false}));
        QCOMPARE(captions, (QStringList{"Personal certificate, existing DSA key pair", kNoCaption}));
        QCOMPARE(host.errors.size(), 3);
        QVERIFY2(host.errors[0].contains("only RSA key pairs can be generated"), qPrintable(host.errors[0]));
        QVERIFY2(host.errors[1].contains("above the largest"), qPrintable(host.errors[1]));
        QVERIFY2(host.errors[2].contains("no caption for the policy " + QLatin1String(kNoCaption)),
                 qPrintable(host.errors[2]));
        QVERIFY(!form->IsNewKeyGenerated());
        m_token->ReadObjects();
        QCOMPARE(int(m_token->GetAsymmetricKeyCount()), 4);
    }

    // A token that cannot generate: the report, the form stays open for another try.
    void failedGenerationKeepsTheFormOpen()
    {
        TestHost host;
        auto form = Form(host);
        fixture::ModalDriver driver;
        bool stillOpen = false;
        driver.Expect(
            [&](QWidget* w) {
                Type(Field(w, "2.5.4.3"), QStringLiteral("Nobody"));
                CurrentFaults().generateKeyPair = true;
                QTest::mouseClick(Button(w, "btnOK"), Qt::LeftButton);
                stillOpen = w->isVisible();
                fixture::ModalDriver::Click(w, "btnCancel");
            },
            "CertRequestDialog");
        QCOMPARE(form->exec(), int(QDialog::Rejected));
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QVERIFY(stillOpen);
        QCOMPARE(host.errors, QStringList{"Unable to generate key-pair."});
        QVERIFY(!form->IsNewKeyGenerated());
    }

    // Signing fails after the pair was generated: the form ends rejected, and says that
    // a pair was generated, so the caller shows it.
    void failedSigningAfterGenerationStillReportsTheNewPair()
    {
        TestHost host;
        auto form = Form(host);
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect(
            [&](QWidget* w) {
                Type(Field(w, "2.5.4.3"), QStringLiteral("Nobody"));
                CurrentFaults().signInit = true;
                QTest::mouseClick(Button(w, "btnOK"), Qt::LeftButton);
            },
            "CertRequestDialog");
        QCOMPARE(form->exec(), int(QDialog::Rejected));
        QVERIFY2(driver.Finished() && driver.Unexpected().isEmpty(),
                 qPrintable((driver.Failures() + driver.Unexpected()).join("; ")));
        QCOMPARE(host.errors, QStringList{"Unable to generate certificate request."});
        QVERIFY(form->IsNewKeyGenerated());
        QCOMPARE(form->GetRequest().size(), size_t(0));
    }

    // What the token or the encoder throws while OK runs is reported, never left to
    // Qt's event loop: here a listed private key without its public key.
    void failureInsideOkIsReported()
    {
        CPKCS11AsymmetricKey* pub = nullptr;
        CPKCS11AsymmetricKey* priv = nullptr;
        unsigned char id[] = {0x77};
        QVERIFY(m_token->GenerateRSAKeyPair(1024, false, id, 1, "Alone", &pub, &priv));
        std::unique_ptr<CPKCS11AsymmetricKey> ownPub(pub), ownPriv(priv);
        TKeysVector alone{priv};
        TestHost host;
        CertRequestDialog form(ShippedFolder() + QStringLiteral("/Schema.xml"),
                               ShippedFolder() + QStringLiteral("/SchemaResources.en.xml"), alone, *m_token, host,
                               host.HostWidget());
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect(
            [&](QWidget* w) {
                ChoosePolicy(w, kExistingRsa);
                Type(Field(w, "2.5.4.3"), QStringLiteral("Alone"));
                QTest::mouseClick(Button(w, "btnOK"), Qt::LeftButton);
            },
            "CertRequestDialog");
        QCOMPARE(form.exec(), int(QDialog::Rejected));
        QVERIFY2(driver.Finished() && driver.Unexpected().isEmpty(),
                 qPrintable((driver.Failures() + driver.Unexpected()).join("; ")));
        QCOMPARE(host.errors, QStringList{"Unable to generate certificate request.\n"
                                          "The public key of the key pair is not on the token."});
    }

    // A policy that takes an existing key the token lacks.
    void noKeyForThePolicy()
    {
        TestHost host;
        TKeysVector none;
        CertRequestDialog form(ShippedFolder() + QStringLiteral("/Schema.xml"),
                               ShippedFolder() + QStringLiteral("/SchemaResources.en.xml"), none, *m_token, host,
                               host.HostWidget());
        fixture::ModalDriver driver;
        QStringList boxes;
        bool okEnabled = true;
        driver.Expect(
            [&](QWidget* w) {
                fixture::ModalDriver* nested = new fixture::ModalDriver(10000, w);
                nested->Expect(Note(boxes), "QMessageBox");
                ChoosePolicy(w, kExistingRsa);
                nested->WaitFinished();
                okEnabled = Button(w, "btnOK")->isEnabled();
                fixture::ModalDriver::Click(w, "btnCancel");
            },
            "CertRequestDialog");
        form.exec();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(boxes, QStringList{"The active card does not contain proper keys."});
        QVERIFY(!okEnabled);
    }

    // A card whose only key pair is an EC pair: the box says why it is not offered.
    void ecKeyPairIsNotOfferedAndSaysWhy()
    {
        // A 16-byte CKA_ID: the next test's init removes the pair again.
        CK_FUNCTION_LIST_PTR fl = m_token->GetFunctionList();
        const CK_SESSION_HANDLE s = m_token->GetSession();
        unsigned char id[16] = {0xEC};
        const unsigned char p256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE pub[] = {{CKA_EC_PARAMS, (void*)p256, sizeof p256}, {CKA_TOKEN, &yes, sizeof yes},
                              {CKA_VERIFY, &yes, sizeof yes}, {CKA_ID, id, sizeof id}};
        CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &yes, sizeof yes}, {CKA_PRIVATE, &yes, sizeof yes},
                               {CKA_SIGN, &yes, sizeof yes}, {CKA_ID, id, sizeof id}};
        CK_MECHANISM mechanism = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE hPub = 0, hPriv = 0;
        QCOMPARE(fl->C_GenerateKeyPair(s, &mechanism, pub, 4, priv, 4, &hPub, &hPriv), CKR_OK);
        QVERIFY(m_token->ReadObjects());
        TKeysVector ec;
        for (CPKCS11AsymmetricKey* key : CollectEnrolmentKeys(*m_token, KeysForRequest, nullptr))
            if (key->GetKeyFlags() & KEY_TYPE_EC)
                ec.push_back(key);
        QCOMPARE(int(ec.size()), 1);

        TestHost host;
        CertRequestDialog form(ShippedFolder() + QStringLiteral("/Schema.xml"),
                               ShippedFolder() + QStringLiteral("/SchemaResources.en.xml"), ec, *m_token, host,
                               host.HostWidget());
        fixture::ModalDriver driver;
        QStringList boxes;
        driver.Expect(
            [&](QWidget* w) {
                fixture::ModalDriver* nested = new fixture::ModalDriver(10000, w);
                nested->Expect(Note(boxes), "QMessageBox");
                ChoosePolicy(w, kExistingRsa);
                nested->WaitFinished();
                fixture::ModalDriver::Click(w, "btnCancel");
            },
            "CertRequestDialog");
        form.exec();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(boxes, QStringList{"The active card does not contain proper keys.\nIts key pairs of other types, "
                                    "such as EC key pairs, are not supported for a request: only RSA and DSA keys "
                                    "are."});
        QVERIFY(host.errors.isEmpty());
    }

    // Every shipped policy, in both languages, to a request that verifies and whose
    // subject is what was entered.
    void everyShippedPolicyMakesAVerifiedRequest_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("policy");
        for (const char* language : {"en", "bg"})
            for (const char* policy : {kGenerate, kExistingRsa, kExistingDsa})
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(language, policy))) << language << policy;
    }

    void everyShippedPolicyMakesAVerifiedRequest()
    {
        QFETCH(QString, language);
        QFETCH(QString, policy);
        TestHost host;
        auto form = Form(host, language);
        fixture::ModalDriver driver;
        driver.Expect(
            [&](QWidget* w) {
                ChoosePolicy(w, qPrintable(policy));
                Type(Field(w, "2.5.4.10"), QString::fromUtf8("Тесали ООД"));
                Type(Field(w, "2.5.4.3"), QString::fromUtf8("Мария Иванова"));
                Type(Field(w, "1.2.840.113549.1.9.1"), QStringLiteral("maria@example.org"));
                QTest::mouseClick(Button(w, "btnOK"), Qt::LeftButton);
            },
            "CertRequestDialog");
        QCOMPARE(form->exec(), int(QDialog::Accepted));
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QVERIFY2(host.errors.isEmpty(), qPrintable(host.errors.join("; ")));
        QCOMPARE(QString::fromLatin1(form->GetPolicyId()), policy);
        const TByteArrayAutoPtr& request = form->GetRequest();
        std::string output;
        QVERIFY2(OpenSslVerifies(m_hsm->Dir(), Bytes(request.get(), request.get() + request.size()), &output),
                 output.c_str());
        const RequestView view = ReadRequest(request.get(), request.size());
        QCOMPARE(int(view.subject.size()), 4);
        const char* expected[][3] = {{"2.5.4.6", "BG", "19"},
                                     {"2.5.4.10", "Тесали ООД", "12"},
                                     {"2.5.4.3", "Мария Иванова", "12"},
                                     {"1.2.840.113549.1.9.1", "maria@example.org", "22"}};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(view.subject[size_t(i)].oid, std::string(expected[i][0]));
            QCOMPARE(view.subject[size_t(i)].content, Utf8(expected[i][1]));
            QCOMPARE(view.subject[size_t(i)].tag, std::atoi(expected[i][2]));
            QCOMPARE(view.subject[size_t(i)].rdn, i);
        }
        QCOMPARE(form->IsNewKeyGenerated(), policy == QLatin1String(kGenerate));
    }
};

QTEST_MAIN(DialogTest)
#include "test_dialog.moc"
