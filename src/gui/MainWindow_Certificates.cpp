// Certificate import, export, view and deletion of objects.
#include "MainWindow.h"

#include <QFileDialog>

#include <cassert>

#include "CertViewDialog.h"
#include "CertificateFile.h"
#include "MessageBoxes.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Token.h"

namespace {
QString CertificateFilter()
{
    return MainWindow::tr("Digital Certificates (*.cer *.crt *.der *.pem)");
}

// The export's filters: binary DER first, as before, then PEM text.
QString DerCertificateFilter()
{
    return MainWindow::tr("Digital Certificates, DER (*.cer *.crt *.der)");
}

QString PemCertificateFilter()
{
    return MainWindow::tr("Digital Certificates, PEM (*.pem)");
}
} // namespace

bool MainWindow::InstallCertificate(CPKCS11Token& token, unsigned char* pbCert, DWORD cbCert)
{
    assert(pbCert);
    assert(cbCert);
    COperationGuard operation(this);
    std::string sKeyLabel;
    if (token.InstallCertificate(pbCert, cbCert, false, &sKeyLabel))
        return true;
    if (m_lastError.GetFlag() == TSY_KIND_PLAIN && m_lastError.GetCode() == TSY_CERT_ALREADY_EXISTS) {
        // Asked, not a failure: a declined replacement leaves nothing to report.
        m_lastError.Reset();
        // A token-wide download asks once per key pair: the question says which.
        const QString label = QString::fromUtf8(sKeyLabel.c_str()).trimmed();
        const QString question =
            label.isEmpty()
                ? tr("A certificate for this key-pair already exists. Would you like to replace it?")
                : tr("A certificate for the key-pair \"%1\" already exists. Would you like to replace it?").arg(label);
        if (!tessaly::QuestionBox(this, tr("Replace Certificate"), question))
            return false;
        if (token.InstallCertificate(pbCert, cbCert, true))
            return true;
        ShowError(tr("Unable to import the certificate."), false, true);
        return false;
    }
    // A file that is no certificate, one for keys the card does not hold, or one for a key
    // the program cannot pair, is the user's mistake, not a fault of the program that asks
    // for an error report.
    const unsigned long code = m_lastError.GetCode();
    const bool bUserMistake = m_lastError.GetFlag() == TSY_KIND_PLAIN &&
                              (code == TSY_CERT_DECODE_FAILED || code == TSY_KEYSET_NOT_EXISTS ||
                               code == TSY_KEY_TYPE_NOT_SUPPORTED);
    ShowError(tr("Unable to import the certificate."), !bUserMistake, true);
    return false;
}

void MainWindow::on_actionCertImport_triggered()
{
    RunOperation(tr("Unable to import the certificate."), [&] {
        CPKCS11Token* pToken = SelectedTokenOnly();
        if (!pToken)
            return;
        const QString path =
            QFileDialog::getOpenFileName(this, tr("Import Certificate"), QString(), CertificateFilter());
        if (path.isEmpty())
            return;
        QByteArray bytes;
        QString error;
        if (!CCertificateFile::Read(path, bytes, error)) {
            tessaly::CriticalBox(this, error);
            return;
        }
        if (!InstallCertificate(*pToken, reinterpret_cast<unsigned char*>(bytes.data()), DWORD(bytes.size())))
            return;
        tessaly::InformationBox(this, tr("The certificate was successfully imported."));
        RefreshTokenRow(pToken);
    });
}

void MainWindow::on_actionCertExport_triggered()
{
    RunOperation(tr("Unable to export the certificate."), [&] {
        const _CPBLOB* pValue = SelectedCertificateValue();
        if (!pValue)
            return;
        const QByteArray bytes(reinterpret_cast<const char*>(pValue->pbData), int(pValue->cbData));
        const QString pemFilter = PemCertificateFilter();
        QString chosenFilter;
        const QString path = QFileDialog::getSaveFileName(this, tr("Export Certificate"), QString(),
                                                          DerCertificateFilter() + QStringLiteral(";;") + pemFilter,
                                                          &chosenFilter);
        if (path.isEmpty())
            return;
        const bool bPem = CCertificateFile::FormatOf(path, chosenFilter == pemFilter) == CCertificateFile::Pem;
        QString error;
        if (!CCertificateFile::Write(path, bPem ? CCertificateFile::PemOfDer(bytes) : bytes, error)) {
            tessaly::CriticalBox(this, error);
            return;
        }
        tessaly::InformationBox(this, tr("The certificate was successfully saved."));
    });
}

void MainWindow::on_actionCertView_triggered()
{
    RunOperation(tr("Unable to view the certificate."), [&] {
        const _CPBLOB* pValue = SelectedCertificateValue();
        if (!pValue)
            return;
        CertViewDialog dialog(*pValue, this);
        dialog.exec();
    });
}

void MainWindow::on_actionDelete_triggered()
{
    RunOperation(tr("Unable to delete object."), [&] {
        CPKCS11Object* pObject = SelectedCertificate();
        if (!pObject)
            pObject = SelectedKey();
        if (!pObject)
            return;
        CPKCS11Token* pToken = pObject->GetToken();
        assert(pToken);
        const TObjectIdentity identity = IdentityOf(pObject);

        if (!pToken->GetLoggedInUser()) {
            if (!Login(pToken, NormalUser))
                return;
            // Logged in, the token lists its private keys too: the warning below needs the
            // pairs as they are. The re-read frees every object taken before.
            RefreshTokenRow(pToken);
            pObject = FindObject(pToken, identity);
            if (!pObject) {
                tessaly::CriticalBox(this, tr("The object is no longer on the token."));
                return;
            }
        }

        QString warning;
        if (pObject->GetObjectType() == CryptokiCertificate) {
            CPKCS11Certificate* pCertificate = static_cast<CPKCS11Certificate*>(pObject);
            if (pCertificate->GetPrivateKeyIndex() != -1 || pCertificate->GetPublicKeyIndex() != -1)
                warning = tr("You are trying to delete certificate that has corresponding key(s).\n"
                             "If you do so, you will not be able to decrypt data encrypted with it.\n"
                             "Are you sure you want to continue?");
        } else {
            CPKCS11AsymmetricKey* pKey = static_cast<CPKCS11AsymmetricKey*>(pObject);
            if (pKey->HasCertificate())
                warning = tr("You are trying to delete key that has corresponding certificate.\n"
                             "If you do so, you will not be able to decrypt data encrypted with it.\n"
                             "Are you sure you want to continue?");
            else if (pKey->GetPairIndex() != -1)
                warning = tr("You are trying to delete key from key-pair.\n"
                             "If you do so, you will not be able to use this key-pair.\n"
                             "Are you sure you want to continue?");
        }
        if (!warning.isEmpty() && !tessaly::QuestionBox(this, tr("Delete Object"), warning))
            return;

        if (!pObject->Destroy()) {
            ShowError(tr("Unable to delete object."), false, true);
            return;
        }
        RefreshTokenRow(pToken);
    });
}

namespace {

// The class, ID and (for a certificate) value that tell one object from the others.
void DescribeObject(const CPKCS11Object* pObject, CK_OBJECT_CLASS& nClass, std::vector<unsigned char>& value)
{
    value.clear();
    if (pObject->GetObjectType() == CryptokiCertificate) {
        nClass = CKO_CERTIFICATE;
        if (const _CPBLOB* pValue = pObject->GetValue())
            value.assign(pValue->pbData, pValue->pbData + pValue->cbData);
    } else if (static_cast<const CPKCS11AsymmetricKey*>(pObject)->GetKeyFlags() & KEY_CLASS_PUBLIC) {
        nClass = CKO_PUBLIC_KEY;
    } else {
        nClass = CKO_PRIVATE_KEY;
    }
}

// Calls visit with each of the token's objects of that class, in list order, until it says
// stop. An object that cannot be read is passed over.
template <class Visit> void ForEachObject(CPKCS11Token* pToken, CK_OBJECT_CLASS nClass, Visit visit)
{
    const bool bCertificates = nClass == CKO_CERTIFICATE;
    const unsigned long nCount = bCertificates ? pToken->GetCertificateCount() : pToken->GetAsymmetricKeyCount();
    for (unsigned long i = 0; i < nCount; ++i) {
        if (!bCertificates && pToken->IsPublicKeyIndex(i) != (nClass == CKO_PUBLIC_KEY))
            continue;
        CPKCS11Object* pObject = nullptr;
        try {
            pObject = bCertificates ? static_cast<CPKCS11Object*>(pToken->GetCertificate(i))
                                    : static_cast<CPKCS11Object*>(pToken->GetAsymmetricKey(i));
        } catch (const CTSYException&) {
        }
        if (pObject && !visit(pObject))
            return;
    }
}

bool IsAlike(const CPKCS11Object* pObject, CK_OBJECT_CLASS nClass, const std::vector<unsigned char>& id,
             const std::vector<unsigned char>& value)
{
    CK_OBJECT_CLASS nOwnClass = 0;
    std::vector<unsigned char> ownValue;
    DescribeObject(pObject, nOwnClass, ownValue);
    return nOwnClass == nClass && pObject->GetIDBytes() == id && ownValue == value;
}

} // namespace

MainWindow::TObjectIdentity MainWindow::IdentityOf(const CPKCS11Object* pObject)
{
    TObjectIdentity identity;
    identity.id = pObject->GetIDBytes();
    DescribeObject(pObject, identity.nClass, identity.value);
    if (CPKCS11Token* pToken = pObject->GetToken())
        ForEachObject(pToken, identity.nClass, [&](CPKCS11Object* pOther) {
            if (pOther == pObject)
                return false;
            if (IsAlike(pOther, identity.nClass, identity.id, identity.value))
                ++identity.nOrdinal;
            return true;
        });
    return identity;
}

std::optional<MainWindow::TObjectIdentity> MainWindow::IdentityOfObjectOn(const CPKCS11Base* pObject,
                                                                          const CPKCS11Token* pToken)
{
    if (!pObject || pObject->GetParent() != pToken)
        return std::nullopt;
    const TObjectType eType = pObject->GetObjectType();
    if (eType != CryptokiCertificate && eType != CryptokiAsymmetricKey)
        return std::nullopt;
    return IdentityOf(static_cast<const CPKCS11Object*>(pObject));
}

CPKCS11Object* MainWindow::FindObject(CPKCS11Token* pToken, const TObjectIdentity& identity)
{
    CPKCS11Object* pFound = nullptr;
    int nAlike = 0;
    ForEachObject(pToken, identity.nClass, [&](CPKCS11Object* pObject) {
        if (IsAlike(pObject, identity.nClass, identity.id, identity.value) && nAlike++ == identity.nOrdinal) {
            pFound = pObject;
            return false;
        }
        return true;
    });
    return pFound;
}
