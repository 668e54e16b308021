// The token rows of a provider's tree, the selection and the state of the actions.
#include "MainWindow.h"
#include "ui_MainWindow.h"

#include <QMenu>
#include <QSplitter>
#include <QTreeWidgetItemIterator>

#include <cstring>

#include <map>
#include <optional>
#include <set>
#include <string>

#include "AutoSplash.h"
#include "FieldList.h"
#include "GuiLog.h"
#include "ModuleQuirks.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Context.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "ProviderTreeWidget.h"
#include "pkcs11provider.h"

void MainWindow::DisplaySlots(CPKCS11Provider* pProvider, CProviderTreeWidget* pTree)
{
    pTree->Clear();
    pProvider->GetSlots().clear();
    CPKCS11Context* pContext = pProvider->GetContext();
    const unsigned long nSlots = pContext->GetSlotCount();
    for (unsigned long i = 0; i < nSlots; ++i) {
        CPKCS11Slot* pSlot = pContext->GetSlot(i);
        if (!pSlot)
            continue;
        if (pSlot->IsTokenPresent() && pSlot->IsTokenRecognized() && m_nTabToSelect == -1) {
            const int nTab = TabOfProvider(pProvider);
            if (nTab != -1) {
                m_nTabToSelect = nTab;
                m_pTokenToSelect = pSlot->GetToken();
            }
        }
        DisplaySlot(pProvider, pTree, pSlot);
    }
}

QTreeWidgetItem* MainWindow::DisplaySlot(CPKCS11Provider* pProvider, CProviderTreeWidget* pTree, CPKCS11Slot* pSlot)
{
    const QString description = RowText(pSlot);
    qCDebug(lcGui) << description;
    pProvider->GetSlots()[pSlot->GetSlotID()] = pSlot;
    if (!pSlot->IsTokenPresent())
        return pTree->AddItem(nullptr, description, CProviderTreeWidget::IconEmptyReader, pSlot);
    if (!pSlot->IsTokenRecognized())
        return pTree->AddItem(nullptr, description, CProviderTreeWidget::IconUnidentifiedCard, pSlot);
    QTreeWidgetItem* pRow = pTree->AddItem(nullptr, description, CProviderTreeWidget::IconReaderWithCard, pSlot);
    DisplayToken(pRow, pSlot, pTree);
    return pRow;
}

void MainWindow::DisplayToken(QTreeWidgetItem* pSlotRow, CPKCS11Slot* pSlot, CProviderTreeWidget* pTree)
{
    CPKCS11Token* pToken = pSlot->GetToken();
    QTreeWidgetItem* pTokenRow = pTree->AddItem(pSlotRow, RowText(pToken), CProviderTreeWidget::IconSmartCard, pToken);
    m_mapShownKeys.clear();
    // A failure left over from earlier silent steps must not be reported with this one.
    m_lastError.Reset();
    // A write-protected token is opened read-only and shown all the same.
    if (pToken->OpenSessionAsAllowed()) {
        UpdateTokenView(pTokenRow, pToken, pTree);
        pTree->expandAll();
    } else if (pToken->IsInitialized()) {
        ShowError(tr("Unable to open session with token"), false, true);
    } else {
        m_lastError.Reset();
    }
}

namespace {

// Set on a token row whose objects were all read and shown.
const int kReadInFullRole = Qt::UserRole + 10;

} // namespace

CPKCS11Slot::TTokenCheck MainWindow::RecheckShownToken(CPKCS11Slot* pSlot, CProviderTreeWidget* pTree) const
{
    // Rows shown in part are read anew in any case: the token information is not asked twice.
    // (The slot row's first child is its token's row, when it has one.)
    QTreeWidgetItem* pSlotRow = pTree->FindItem(pSlot);
    QTreeWidgetItem* pTokenRow = pSlotRow && pSlotRow->childCount() > 0 ? pSlotRow->child(0) : nullptr;
    if (!pTokenRow || !pTokenRow->data(0, kReadInFullRole).toBool())
        return CPKCS11Slot::TokenReplaced;
    return pSlot->RecheckToken();
}

namespace {

// Rows made apart from the tree go in together when the view is done, also when it
// stops early; updates stay suspended meanwhile.
class CTokenRows
{
public:
    CTokenRows(CProviderTreeWidget* pTree, QTreeWidgetItem* pTokenRow)
        : m_pTree(pTree), m_pTokenRow(pTokenRow), m_bUpdates(pTree->updatesEnabled())
    {
        m_pTree->setUpdatesEnabled(false);
    }
    ~CTokenRows()
    {
        m_pTree->AddItems(m_pTokenRow, m_rows);
        m_pTree->setUpdatesEnabled(m_bUpdates);
    }
    CTokenRows(const CTokenRows&) = delete;
    CTokenRows& operator=(const CTokenRows&) = delete;

    QTreeWidgetItem* Add(const QString& qsText, int nIcon, CPKCS11Base* pObject)
    {
        m_rows.append(m_pTree->CreateItem(qsText, nIcon, pObject));
        return m_rows.last();
    }

private:
    CProviderTreeWidget* m_pTree;
    QTreeWidgetItem* m_pTokenRow;
    bool m_bUpdates;
    QList<QTreeWidgetItem*> m_rows;
};

} // namespace

namespace {

// Answers after which nothing of the token can be read: it was taken out, or its session
// ended. The slot event that follows rebuilds its rows; there is nothing to tell meanwhile.
bool IsTokenGone(CK_RV rv)
{
    return rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED || rv == CKR_DEVICE_REMOVED ||
           rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_CRYPTOKI_NOT_INITIALIZED;
}

// What one view of a token could not show, per class: searches that failed and objects that
// could not be read, and the first failure's own words for the error sink.
class CListingReport
{
public:
    void AddProblems(const std::vector<CPKCS11Token::TListingProblem>& problems)
    {
        for (const CPKCS11Token::TListingProblem& p : problems) {
            if (p.rvSearch != CKR_OK && !Gone(p.rvSearch)) {
                m_classes[p.nClass].bSearchFailed = true;
                Remember(p.pszSearchCall ? p.pszSearchCall : "C_FindObjects", p.rvSearch, TSY_KIND_PKCS11);
            }
            if (p.nUnreadable && !Gone(p.rvUnreadable)) {
                m_classes[p.nClass].nUnreadable += p.nUnreadable;
                Remember("GetAttributeValue failed to get value", p.rvUnreadable, TSY_KIND_PKCS11);
            }
        }
    }
    void AddUnreadable(CK_OBJECT_CLASS nClass, const CTSYException& error)
    {
        if (error.GetFlag() == TSY_KIND_PKCS11 && Gone(CK_RV(error.GetCode())))
            return;
        ++m_classes[nClass].nUnreadable;
        Remember(error.GetMessage() ? error.GetMessage() : "", error.GetCode(), error.GetFlag());
    }
    // Nothing to tell the user.
    bool IsEmpty() const { return m_classes.empty(); }
    // Everything was read.
    bool IsComplete() const { return m_classes.empty() && !m_bGone; }
    // One line per class that had trouble.
    QString Lines() const
    {
        QStringList lines;
        for (const auto& entry : m_classes) {
            const TClass& c = entry.second;
            QString search, unread;
            switch (entry.first) {
            case CKO_CERTIFICATE:
                search = MainWindow::tr("The search for certificates failed; some may be missing.");
                unread = MainWindow::tr("Certificates that could not be read: %1");
                break;
            case CKO_PUBLIC_KEY:
                search = MainWindow::tr("The search for public keys failed; some may be missing.");
                unread = MainWindow::tr("Public keys that could not be read: %1");
                break;
            default:
                search = MainWindow::tr("The search for private keys failed; some may be missing.");
                unread = MainWindow::tr("Private keys that could not be read: %1");
                break;
            }
            if (c.bSearchFailed)
                lines << search;
            if (c.nUnreadable)
                lines << unread.arg(c.nUnreadable);
        }
        return lines.join(QLatin1Char('\n'));
    }
    // The first failure, for the explanation of the module's answer.
    void FillSink(CTSYException& sink) const
    {
        sink.Reset();
        sink.SetMessage(m_sMessage.c_str());
        sink.SetCode(m_nCode);
        sink.SetFlag(m_nFlag);
    }

private:
    struct TClass {
        bool bSearchFailed = false;
        unsigned long nUnreadable = 0;
    };
    bool Gone(CK_RV rv)
    {
        const bool bGone = IsTokenGone(rv);
        m_bGone = m_bGone || bGone;
        return bGone;
    }
    void Remember(const char* pszMessage, unsigned long long nCode, uint32_t nFlag)
    {
        if (m_bRemembered)
            return;
        m_bRemembered = true;
        m_sMessage = pszMessage;
        m_nCode = nCode;
        m_nFlag = nFlag;
    }
    std::map<CK_OBJECT_CLASS, TClass> m_classes;
    bool m_bGone = false;
    bool m_bRemembered = false;
    std::string m_sMessage;
    unsigned long long m_nCode = 0;
    uint32_t m_nFlag = 0;
};

} // namespace

void MainWindow::UpdateTokenView(QTreeWidgetItem* pTokenRow, CPKCS11Token* pToken, CProviderTreeWidget* pTree)
{
    CListingReport report;
    const auto addObjectRows = [&](CTokenRows& rows) {
        qCDebug(lcGui) << "Certs count " << pToken->GetCertificateCount();
        // An object that cannot be read is left out, once, and the rest are shown.
        std::set<unsigned long> failedKeys;
        const auto certificateAt = [&](unsigned long i) -> CPKCS11Certificate* {
            try {
                if (CPKCS11Certificate* pCert = pToken->GetCertificate(i))
                    return pCert;
                report.AddUnreadable(CKO_CERTIFICATE, m_lastError);
            } catch (const CTSYException& e) {
                report.AddUnreadable(CKO_CERTIFICATE, e);
            }
            return nullptr;
        };
        const auto keyAt = [&](unsigned long j) -> CPKCS11AsymmetricKey* {
            if (failedKeys.count(j))
                return nullptr;
            const CK_OBJECT_CLASS nClass =
                j < pToken->GetAsymmetricKeyCount() && pToken->IsPublicKeyIndex(j) ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY;
            try {
                if (CPKCS11AsymmetricKey* pKey = pToken->GetAsymmetricKey(j))
                    return pKey;
                report.AddUnreadable(nClass, m_lastError);
            } catch (const CTSYException& e) {
                report.AddUnreadable(nClass, e);
            }
            failedKeys.insert(j);
            return nullptr;
        };

        const unsigned long nCerts = pToken->GetCertificateCount();
        for (unsigned long i = 0; i < nCerts; ++i) {
            CPKCS11Certificate* pCert = certificateAt(i);
            if (!pCert)
                continue;
            const int nPublic = pCert->GetPublicKeyIndex();
            const int nPrivate = pCert->GetPrivateKeyIndex();
            int nIcon = CProviderTreeWidget::IconCertWithKeys;
            if (!pCert->IsDecoded())
                nIcon = CProviderTreeWidget::IconCertNotDecoded;
            else if (nPublic == -1 && nPrivate == -1)
                nIcon = CProviderTreeWidget::IconCertificate;
            QTreeWidgetItem* pCertRow = rows.Add(RowText(pCert), nIcon, pCert);
            // The keys go under the first certificate of their pair; a renewed one of the same
            // pair follows it, beside them.
            if (nPublic != -1 && !m_mapShownKeys.count(nPublic)) {
                if (CPKCS11AsymmetricKey* pKey = keyAt(nPublic)) {
                    m_mapShownKeys[nPublic] = 1;
                    pTree->AddItem(pCertRow, RowText(pKey), CProviderTreeWidget::IconPublicKey, pKey);
                }
            }
            if (nPrivate != -1 && !m_mapShownKeys.count(nPrivate)) {
                if (CPKCS11AsymmetricKey* pKey = keyAt(nPrivate)) {
                    m_mapShownKeys[nPrivate] = 1;
                    pTree->AddItem(pCertRow, RowText(pKey), CProviderTreeWidget::IconPrivateKey, pKey);
                }
            }
        }

        const unsigned long nKeys = pToken->GetAsymmetricKeyCount();
        for (unsigned long j = 0; j < nKeys; ++j) {
            if (m_mapShownKeys.count(static_cast<int>(j)))
                continue;
            CPKCS11AsymmetricKey* pKey = keyAt(j);
            if (!pKey)
                continue;
            if (!(pKey->GetKeyFlags() & KEY_CLASS_PUBLIC)) {
                rows.Add(RowText(pKey), CProviderTreeWidget::IconPrivateKey, pKey);
                continue;
            }
            rows.Add(RowText(pKey), CProviderTreeWidget::IconPublicKey, pKey);
            const int nPair = pKey->GetPairIndex();
            if (nPair == -1 || m_mapShownKeys.count(nPair))
                continue;
            if (CPKCS11AsymmetricKey* pPair = keyAt(nPair)) {
                m_mapShownKeys[nPair] = 1;
                rows.Add(RowText(pPair), CProviderTreeWidget::IconPrivateKey, pPair);
            }
        }
    };
    {
        CTokenRows rows(pTree, pTokenRow);
        pTokenRow->setData(0, kReadInFullRole, false);
        const bool bFound = pToken->ReadObjects();
        report.AddProblems(pToken->GetListingProblems());
        if (!bFound) {
            // Nothing found: no rows. Only an empty token that was searched in full is shown in full.
            pTokenRow->setData(0, kReadInFullRole,
                               report.IsComplete() && !m_lastError.GetMessage() && m_lastError.GetCode() == 0);
            m_lastError.Reset();
        } else {
            addObjectRows(rows);
            pTokenRow->setData(0, kReadInFullRole, report.IsComplete());
        }
    }
    // Once per read, after the rows are in: what is not shown, and the module's word for it.
    if (!report.IsEmpty()) {
        report.FillSink(m_lastError);
        ShowError(tr("Not everything on the token \"%1\" could be listed.").arg(RowText(pToken)) +
                      QLatin1Char('\n') + report.Lines(),
                  false, true);
    }
}

namespace {
// The layer's word for an object without a label, in the user's language. A label may be taken
// from a certificate's name (p11-kit's trust module takes the common name): one line, as stored.
QString LabelText(const char* pszLabel)
{
    if (!pszLabel || strcmp(pszLabel, "(no label)") == 0)
        return MainWindow::tr("(no label)");
    return OneLineText(Pkcs11Text(pszLabel));
}
} // namespace

QString MainWindow::RowText(CPKCS11Base* pObject)
{
    switch (pObject->GetObjectType()) {
    case CryptokiSlot: {
        const CPKCS11Slot* pSlot = static_cast<CPKCS11Slot*>(pObject);
        if (*pSlot->GetDescription())
            return Pkcs11Text(pSlot->GetDescription());
        // A slot without a description goes by its ID, written as the window writes codes.
        return tr("Slot %1").arg(QStringLiteral("0x") + QString::number(pSlot->GetSlotID(), 16).toUpper());
    }
    case CryptokiToken:
        return LabelText(static_cast<CPKCS11Token*>(pObject)->GetLabel());
    case CryptokiCertificate:
        return tr("Certificate(%1)").arg(LabelText(static_cast<CPKCS11Object*>(pObject)->GetLabel()));
    case CryptokiAsymmetricKey: {
        CPKCS11AsymmetricKey* pKey = static_cast<CPKCS11AsymmetricKey*>(pObject);
        const QString label = LabelText(pKey->GetLabel());
        return (pKey->GetKeyFlags() & KEY_CLASS_PUBLIC) ? tr("Public key(%1)").arg(label)
                                                        : tr("Private key(%1)").arg(label);
    }
    }
    return QString();
}

void MainWindow::RetranslateTrees()
{
    for (const auto& entry : m_mapProviders) {
        CProviderTreeWidget* pTree = entry.second->GetTreeWidget();
        if (!pTree)
            continue;
        for (QTreeWidgetItemIterator it(pTree); *it; ++it)
            if (CPKCS11Base* pObject = pTree->GetObject(*it))
                (*it)->setText(0, RowText(pObject));
        // The pane's captions come from the objects, in the language of the moment.
        pTree->on_item_selection_changed();
        if (QSplitter* pSplitter = qobject_cast<QSplitter*>(pTree->parentWidget()))
            NameSplitter(pSplitter, pTree->accessibleName());
    }
}

void MainWindow::RefreshTokenRow(CPKCS11Token* pToken)
{
    if (!m_pCurrentProvider || !pToken)
        return;
    CProviderTreeWidget* pTree = m_pCurrentProvider->GetTreeWidget();
    QTreeWidgetItem* pTokenRow = pTree ? pTree->FindItem(pToken) : nullptr;
    if (!pTokenRow)
        return;
    // The row the user chose stays selected when its object is still there after the re-read
    // (a login shows the private keys, the object itself was read afresh).
    const std::optional<TObjectIdentity> chosen = IdentityOfObjectOn(pTree->GetSelectedObject(), pToken);
    CAutoSplash splash(QStringLiteral(":/bitmaps/Progress"), this, false);
    splash.ShowMessage(tr("Reading card, please wait..."), Qt::AlignBottom, Qt::black);
    // The rows go before the token's re-read frees the objects they map to.
    pTree->RemoveChildren(pTokenRow);
    m_mapShownKeys.clear();
    UpdateTokenView(pTokenRow, pToken, pTree);
    pTree->expandAll();
    if (chosen)
        pTree->SelectObject(FindObject(pToken, *chosen));
    pTree->on_item_selection_changed();
    on_item_selection_changed();
}

QList<QAction*> MainWindow::TokenActions() const
{
    return {ui->actionLogin,      ui->actionLogout,   ui->actionCertImport,
            ui->actionChangePIN,  ui->actionInitialize, ui->actionUnblockPIN,
            ui->actionTestToken,  ui->actionRequestCertificate, ui->actionDownloadCertificate};
}

void MainWindow::on_item_selection_changed()
{
    // Token, key and certificate actions appear only for a selected object of their kind.
    m_pSelectedItem = nullptr;
    for (QMenu* menu : {ui->menuSmart_card, ui->menuCertificate, ui->menuKey, ui->menuData})
        menu->menuAction()->setVisible(false);
    for (QAction* action : {ui->actionLogin, ui->actionLogout, ui->actionDelete, ui->actionCertView,
                            ui->actionCertExport, ui->actionCertImport, ui->actionChangePIN, ui->actionInitialize,
                            ui->actionTestToken, ui->actionTestKey, ui->actionTestCertificate, ui->actionUnblockPIN,
                            ui->actionRequestCertificate, ui->actionDownloadCertificate})
        action->setVisible(false);
    if (!m_pCurrentProvider)
        return;
    CProviderTreeWidget* pTree = m_pCurrentProvider->GetTreeWidget();
    if (!pTree)
        return;
    m_pSelectedItem = pTree->GetSelectedObject();
    if (!m_pSelectedItem)
        return;

    const bool bTestsAllowed = !tsy::GetModuleQuirks(m_pCurrentProvider->GetContext()->GetModuleName()).bNoKeyTests;
    ui->actionTestCertificate->setEnabled(bTestsAllowed);
    ui->actionTestKey->setEnabled(bTestsAllowed);

    // Nothing that writes is offered for a write-protected token: no import, deletion,
    // initialisation, PIN change or unblocking, key generation, request or download.
    const CPKCS11Token* pSelectedToken = GetSelectedToken();
    const bool bWritable = !pSelectedToken || !pSelectedToken->IsWriteProtected();
    switch (m_pSelectedItem->GetObjectType()) {
    case CryptokiCertificate: {
        for (QAction* action : {ui->actionCertView, ui->actionCertExport})
            action->setVisible(true);
        // Without a login every key is in view: a certificate without its private key has
        // nothing to test.
        const CPKCS11Certificate* pCertificate = static_cast<CPKCS11Certificate*>(m_pSelectedItem);
        ui->actionTestCertificate->setVisible(pSelectedToken->HasLogin() || pCertificate->GetPrivateKeyIndex() != -1);
        ui->actionDelete->setVisible(bWritable);
        ui->menuCertificate->menuAction()->setVisible(true);
        break;
    }
    case CryptokiAsymmetricKey: {
        ui->actionDelete->setVisible(bWritable);
        ui->actionTestKey->setVisible(true);
        ui->menuKey->menuAction()->setVisible(true);
        CPKCS11AsymmetricKey* pKey = static_cast<CPKCS11AsymmetricKey*>(m_pSelectedItem);
        if (bWritable && !pKey->HasCertificate()) {
            ui->actionRequestCertificate->setVisible(true);
            ui->actionDownloadCertificate->setVisible(true);
        }
        break;
    }
    case CryptokiToken: {
        // An uninitialised token can only be initialised; a token nobody logs in to offers no
        // login.
        const bool bInitialized = pSelectedToken->IsInitialized();
        for (QAction* action : {ui->actionLogin, ui->actionLogout})
            action->setVisible(bInitialized && pSelectedToken->HasLogin());
        ui->actionInitialize->setVisible(bWritable);
        for (QAction* action : {ui->actionCertImport, ui->actionChangePIN, ui->actionUnblockPIN, ui->actionTestToken,
                                ui->actionRequestCertificate, ui->actionDownloadCertificate})
            action->setVisible(bInitialized && bWritable);
        ui->menuSmart_card->menuAction()->setVisible(true);
        const bool bLoggedIn = static_cast<CPKCS11Token*>(m_pSelectedItem)->IsLoggedIn();
        ui->actionLogin->setEnabled(!bLoggedIn);
        ui->actionLogout->setEnabled(bLoggedIn);
        break;
    }
    case CryptokiSlot:
        break;
    }
}

void MainWindow::on_item_double_clicked(QTreeWidgetItem*, int)
{
    CatchAll(tr("Unable to view the certificate."), [&] {
        on_item_selection_changed();
        if (m_pSelectedItem && m_pSelectedItem->GetObjectType() == CryptokiCertificate)
            on_actionCertView_triggered();
    });
}

CPKCS11Token* MainWindow::GetSelectedToken() const
{
    if (!m_pSelectedItem)
        return nullptr;
    switch (m_pSelectedItem->GetObjectType()) {
    case CryptokiToken:
        return static_cast<CPKCS11Token*>(m_pSelectedItem);
    case CryptokiCertificate:
    case CryptokiAsymmetricKey:
        return static_cast<CPKCS11Object*>(m_pSelectedItem)->GetToken();
    case CryptokiSlot:
        break;
    }
    return nullptr;
}
