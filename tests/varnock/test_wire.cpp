// What the client puts on the wire and which answers it takes or refuses, with
// canned answers served over TLS on the loopback interface.
#include "TestSupport.h"

#include "ServiceProxy.h"

#include <varnock/VarnockConfig.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <chrono>
#include <csignal>
#include <climits>
#include <cstring>
#include <regex>
#include <thread>

using fixture::CannedHttpsServer;
using fixture::SoapEnvelope;

namespace {

const std::string kBase = VARNOCK_NAMESPACE_BASE;

enum class Op { Upload, Status, Nonce, Certificate };

// Runs one operation against the endpoint; "OK <result>" or "ERR <what()>".
// The result holders and the status map start with content of their own, so
// that a failure that touches them shows.
std::string RunOp(Op op, const std::string& endpoint)
{
    auto& client = vtest::Client(endpoint);
    try {
        switch (op) {
        case Op::Upload: {
            const unsigned char der[] = {0x30, 0x03, 0x02, 0x01, 0x05};
            return "OK " + std::to_string(client.uploadCertRequest(der, sizeof der, "1.2.3.4"));
        }
        case Op::Status: {
            const std::map<std::string, CVarnockSingleton::TRequestStatus> before{{"KEEP", CVarnockSingleton::rsDeleted}};
            std::map<std::string, CVarnockSingleton::TRequestStatus> states = before;
            try {
                // The enrolment's identifiers end in the NUL that ByteToStdString leaves inside the text.
                client.retrieveRequestStatusInfo({"AA", std::string("BB\0", 3)}, states);
            } catch (...) {
                EXPECT_EQ(states, before) << "failure touched the map";
                throw;
            }
            std::string out = "OK";
            for (const auto& entry : states)
                out += " " + entry.first + "=" + std::to_string(entry.second);
            return out;
        }
        case Op::Nonce:
        case Op::Certificate: {
            TByteArrayAutoPtr result;
            vtest::Fill(result, {0xEE});
            try {
                if (op == Op::Nonce) {
                    client.downloadNonce("AA", result);
                } else {
                    TByteArrayAutoPtr sn, cn, sig;
                    vtest::Fill(sn, {1, 2});
                    vtest::Fill(cn, {3});
                    vtest::Fill(sig, {4, 5, 6});
                    client.downloadCertificate(sn, cn, sig, "1.2.840.113549.1.1.5", result);
                }
            } catch (...) {
                EXPECT_EQ(vtest::ToVector(result), std::vector<unsigned char>{0xEE}) << "failure touched the result";
                throw;
            }
            return "OK " + fixture::ToHex(vtest::ToVector(result));
        }
        }
    } catch (const CVarnockError& e) {
        return "ERR " + e.ThisFault(); // the earlier calls' faults are another test's
    } catch (const std::runtime_error& e) {
        return std::string("ERR ") + e.what();
    }
    return "unreachable";
}

std::string Body(const std::string& element, const std::string& content)
{
    return SoapEnvelope("<ns1:" + element + ">" + content + "</ns1:" + element + ">");
}

std::string StatusBody(const std::string& records)
{
    return Body("RetrieveRequestStatusInfoResponse",
                "<ns1:RetrieveRequestStatusInfoResult>" + records + "</ns1:RetrieveRequestStatusInfoResult>");
}

std::string Record(const std::string& digest, const std::string& state)
{
    return "<ns1:SRequestStatusInfo><ns1:strKeyDigest>" + digest + "</ns1:strKeyDigest><ns1:statusReq>" + state +
           "</ns1:statusReq></ns1:SRequestStatusInfo>";
}

std::string UploadBody(const std::string& state)
{
    return Body("UploadCertificateRequestResponse",
                "<ns1:UploadCertificateRequestResult>" + state + "</ns1:UploadCertificateRequestResult>");
}

std::string NonceBody(const std::string& base64)
{
    return Body("DownloadServerNonceResponse",
                "<ns1:DownloadServerNonceResult>" + base64 + "</ns1:DownloadServerNonceResult>");
}

std::string CertBody(const std::string& base64)
{
    return Body("DownloadCertificateResponse",
                "<ns1:DownloadCertificateResult>" + base64 + "</ns1:DownloadCertificateResult>");
}

std::string Fault12(const std::string& codePrefixDecl, const std::string& code, const std::string& reason,
                    const std::string& detail)
{
    return SoapEnvelope("<SOAP-ENV:Fault" + codePrefixDecl + "><SOAP-ENV:Code><SOAP-ENV:Value>" + code +
                        "</SOAP-ENV:Value></SOAP-ENV:Code><SOAP-ENV:Reason><SOAP-ENV:Text xml:lang=\"en\">" + reason +
                        "</SOAP-ENV:Text></SOAP-ENV:Reason><SOAP-ENV:Detail>" + detail +
                        "</SOAP-ENV:Detail></SOAP-ENV:Fault>");
}

// ---------------------------------------------------------------------------
// Requests

struct RequestCase {
    const char* name;
    Op op;
    const char* action;     // suffix of the SOAP action after the base
    const char* bodyOfBody; // the Body's whole content
};

void PrintTo(const RequestCase& c, std::ostream* os)
{
    *os << c.name;
}

class RequestWire : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestWire, HeadAndEnvelope)
{
    const RequestCase& c = GetParam();
    CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(server.Start(CannedHttpsServer::HttpAnswer(Fault12("", "SOAP-ENV:Receiver", "canned", ""))));
    RunOp(c.op, server.Endpoint());
    const std::string request = server.WaitForRequest();
    ASSERT_FALSE(request.empty());
    const size_t headEnd = request.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos) << request;
    const std::string envelope =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
        "xmlns:ns2=\"" +
        kBase + "/NS/RequestServiceSoap\" xmlns:ns1=\"" + kBase + "/NS/\" xmlns:ns3=\"" + kBase +
        "/NS/RequestServiceSoap12\"><SOAP-ENV:Body>" + c.bodyOfBody + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
    // The engine names its own version in User-Agent; every other line is the service's.
    const std::string expected = "POST /axis2/services/RequestService HTTP/1.1\r\n"
                                 "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"
                                 "User-Agent: gSOAP/2.8\r\n"
                                 "Content-Type: application/soap+xml; charset=utf-8\r\n"
                                 "Content-Length: " + std::to_string(envelope.size()) + "\r\n"
                                 "Connection: close\r\n"
                                 "Accept-Encoding: gzip, deflate\r\n"
                                 "SOAPAction: \"" + kBase + c.action + "\"\r\n"
                                 "\r\n" + envelope;
    EXPECT_EQ(request, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, RequestWire,
    ::testing::Values(
        RequestCase{"Upload", Op::Upload, "/NS/UploadCertificateRequest",
                    "<ns1:UploadCertificateRequest><ns1:arrbRequest>MAMCAQU=</ns1:arrbRequest>"
                    "<ns1:strPolicyRequired>1.2.3.4</ns1:strPolicyRequired></ns1:UploadCertificateRequest>"},
        RequestCase{"Status", Op::Status, "/NS/RetrieveRequestStatusInfo",
                    "<ns1:RetrieveRequestStatusInfo><ns1:strKeyIDs xsi:type=\"ns1:ArrayOfString\"><ns1:string>AA</ns1:string>"
                    "<ns1:string>BB</ns1:string></ns1:strKeyIDs></ns1:RetrieveRequestStatusInfo>"},
        RequestCase{"Nonce", Op::Nonce, "/NS/DownloadServerNonce",
                    "<ns1:DownloadServerNonce><ns1:strKeyID>AA</ns1:strKeyID></ns1:DownloadServerNonce>"},
        RequestCase{"Certificate", Op::Certificate, "/NS/DownloadCertificate",
                    "<ns1:DownloadCertificate><ns1:tokenAuth xsi:type=\"ns1:POPToken\"><ns1:bstrServerNonce>AQI=</ns1:bstrServerNonce>"
                    "<ns1:bstrClientNonce>Aw==</ns1:bstrClientNonce>"
                    "<ns1:strAlgorithmIdentifier>1.2.840.113549.1.1.5</ns1:strAlgorithmIdentifier>"
                    "<ns1:bstrSignature>BAUG</ns1:bstrSignature></ns1:tokenAuth></ns1:DownloadCertificate>"}),
    [](const ::testing::TestParamInfo<RequestCase>& info) { return std::string(info.param.name); });

// Text is sent as UTF-8 of its bytes taken as ISO-8859-1, with markup escaped.
TEST(RequestText, PolicyIsEscapedAndUtf8)
{
    CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(server.Start(CannedHttpsServer::HttpAnswer(UploadBody("accepted"))));
    const unsigned char der[] = {0x30, 0x00};
    EXPECT_EQ(vtest::Client(server.Endpoint()).uploadCertRequest(der, sizeof der, "a<b&c>\xE9"),
              CVarnockSingleton::usAccepted);
    EXPECT_NE(server.WaitForRequest().find("<ns1:strPolicyRequired>a&lt;b&amp;c&gt;\xC3\xA9</ns1:strPolicyRequired>"),
              std::string::npos);
}

// ---------------------------------------------------------------------------
// Answers

struct AnswerCase {
    const char* name;
    Op op;
    std::string answer; // the whole HTTP answer
    std::string expect; // "OK ..." exactly, or "ERR " followed by a text the error must contain
};

std::string Http(const std::string& body, const std::string& encoding = "", int status = 200)
{
    return CannedHttpsServer::HttpAnswer(body, encoding, status);
}

void PrintTo(const AnswerCase& c, std::ostream* os)
{
    *os << c.name;
}

class AnswerWire : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerWire, TakenOrRefused)
{
    const AnswerCase& c = GetParam();
    CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(server.Start(c.answer));
    const std::string got = RunOp(c.op, server.Endpoint());
    if (c.expect.rfind("OK", 0) == 0) {
        EXPECT_EQ(got, c.expect);
    } else {
        EXPECT_EQ(got.rfind("ERR ", 0), 0u) << got;
        EXPECT_NE(got.find(c.expect.substr(4)), std::string::npos) << got;
    }
}

const std::string kSoap11Envelope =
    "<?xml version=\"1.0\"?><e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:ns1=\"" + kBase +
    "/NS/\"><e:Body><ns1:DownloadServerNonceResponse><ns1:DownloadServerNonceResult>AQID"
    "</ns1:DownloadServerNonceResult></ns1:DownloadServerNonceResponse></e:Body></e:Envelope>";

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerWire,
    ::testing::Values(
        // Upload states.
        AnswerCase{"UploadAccepted", Op::Upload, Http(UploadBody("accepted")), "OK 0"},
        AnswerCase{"UploadMalformedPadded", Op::Upload, Http(UploadBody("\n  malformed \t")), "OK 1"},
        AnswerCase{"UploadRejectedAsNumber", Op::Upload, Http(UploadBody("2")), "OK 2"},
        AnswerCase{"UploadUnknownNumber", Op::Upload, Http(UploadBody("7")), "ERR upload state that this client does not know: 7."},
        AnswerCase{"UploadWrongCase", Op::Upload, Http(UploadBody("Accepted")),
                   "ERR invalid value in element 'ns1:UploadCertificateRequestResult'"},
        AnswerCase{"UploadEmptyResult", Op::Upload, Http(UploadBody("")), "ERR empty value provided"},
        AnswerCase{"UploadMissingResult", Op::Upload, Http(Body("UploadCertificateRequestResponse", "")),
                   "ERR occurrence constraint violation in element 'ns1:UploadCertificateRequestResponse'"},

        // Status records. The map held KEEP=3 before every call.
        AnswerCase{"StatusKnownStates", Op::Status,
                   Http(StatusBody(Record("AA", "approved") + Record("BB", "pending") + Record("CC", "deleted") +
                                   Record("DD", "unknown"))),
                   "OK AA=1 BB=2 CC=3 DD=0 KEEP=3"},
        AnswerCase{"StatusNumbersAndUnknownNumbers", Op::Status,
                   Http(StatusBody(Record("AA", "3") + Record("BB", "7") + Record("CC", "-1") + Record("DD", ""))),
                   "OK AA=3 BB=0 CC=0 DD=0 KEEP=3"},
        AnswerCase{"StatusPaddedDefaultNamespaceReordered", Op::Status,
                   Http(SoapEnvelope("<RetrieveRequestStatusInfoResponse xmlns=\"" + kBase +
                                     "/NS/\"><RetrieveRequestStatusInfoResult><SRequestStatusInfo><statusReq>\n "
                                     "approved \n</statusReq><strKeyDigest>AA</strKeyDigest></SRequestStatusInfo>"
                                     "</RetrieveRequestStatusInfoResult></RetrieveRequestStatusInfoResponse>")),
                   "OK AA=1 KEEP=3"},
        AnswerCase{"StatusOtherPrefix", Op::Status,
                   Http(SoapEnvelope("<q:RetrieveRequestStatusInfoResponse xmlns:q=\"" + kBase +
                                     "/NS/\"><q:RetrieveRequestStatusInfoResult><q:SRequestStatusInfo><q:strKeyDigest>"
                                     "AA</q:strKeyDigest><q:statusReq>pending</q:statusReq></q:SRequestStatusInfo>"
                                     "</q:RetrieveRequestStatusInfoResult></q:RetrieveRequestStatusInfoResponse>")),
                   "OK AA=2 KEEP=3"},
        AnswerCase{"StatusLaterRecordWins", Op::Status,
                   Http(StatusBody(Record("AA", "pending") + Record("AA", "approved"))), "OK AA=1 KEEP=3"},
        AnswerCase{"StatusRecordWithoutDigestAddsNothing", Op::Status,
                   Http(StatusBody("<ns1:SRequestStatusInfo><ns1:statusReq>approved</ns1:statusReq>"
                                   "</ns1:SRequestStatusInfo>" +
                                   Record("BB", "pending"))),
                   "OK BB=2 KEEP=3"},
        AnswerCase{"StatusNilRecordSkipped", Op::Status,
                   Http(StatusBody("<ns1:SRequestStatusInfo xsi:nil=\"true\"/>" + Record("BB", "deleted"))),
                   "OK BB=3 KEEP=3"},
        AnswerCase{"StatusRecordWithoutState", Op::Status,
                   Http(StatusBody("<ns1:SRequestStatusInfo><ns1:strKeyDigest>AA</ns1:strKeyDigest>"
                                   "</ns1:SRequestStatusInfo>")),
                   "OK AA=0 KEEP=3"},
        AnswerCase{"StatusSecondStateIgnored", Op::Status,
                   Http(StatusBody("<ns1:SRequestStatusInfo><ns1:strKeyDigest>AA</ns1:strKeyDigest><ns1:statusReq>"
                                   "approved</ns1:statusReq><ns1:statusReq>pending</ns1:statusReq>"
                                   "</ns1:SRequestStatusInfo>")),
                   "OK AA=1 KEEP=3"},
        AnswerCase{"StatusEmptyResult", Op::Status, Http(StatusBody("")), "OK KEEP=3"},
        AnswerCase{"StatusWrongCaseText", Op::Status, Http(StatusBody(Record("AA", "pending") + Record("BB", "Approved"))),
                   "ERR invalid value in element 'ns1:statusReq'"},
        AnswerCase{"StatusTrailingGarbage", Op::Status, Http(StatusBody(Record("AA", "2x"))),
                   "ERR invalid value in element 'ns1:statusReq'"},
        AnswerCase{"StatusMissingResult", Op::Status, Http(Body("RetrieveRequestStatusInfoResponse", "")),
                   "ERR no RetrieveRequestStatusInfoResult"},
        AnswerCase{"StatusGzip", Op::Status, Http(StatusBody(Record("AA", "approved")), "gzip"), "OK AA=1 KEEP=3"},
        AnswerCase{"StatusDeflate", Op::Status, Http(StatusBody(Record("AA", "approved")), "deflate"),
                   "OK AA=1 KEEP=3"},
        // A bare deflate stream is not what HTTP's "deflate" means; it fails as unreadable.
        AnswerCase{"StatusRawDeflate", Op::Status, Http(StatusBody(Record("AA", "approved")), "raw-deflate"), "ERR "},

        // Nonce and certificate bytes.
        AnswerCase{"NonceLinesNoPadding", Op::Nonce, Http(NonceBody("AAEC\r\nAwQF\nBg")), "OK 00010203040506"},
        AnswerCase{"NonceBadBase64", Op::Nonce, Http(NonceBody("AAE!Aw==")), "ERR no DownloadServerNonceResult (missing, or not valid base64)"},
        AnswerCase{"NonceEmpty", Op::Nonce, Http(NonceBody("")), "ERR an empty DownloadServerNonceResult."},
        AnswerCase{"NonceMissing", Op::Nonce, Http(Body("DownloadServerNonceResponse", "")),
                   "ERR no DownloadServerNonceResult (missing"},
        AnswerCase{"NonceGzip", Op::Nonce, Http(NonceBody("AQID"), "gzip"), "OK 010203"},
        AnswerCase{"NonceSoap11Envelope", Op::Nonce, Http(kSoap11Envelope), "ERR SOAP 1.2 fault SOAP-ENV:VersionMismatch[no subcode]\n"},
        AnswerCase{"CertificateBytes", Op::Certificate, Http(CertBody("MIIBCgKCAQEA")), "OK 3082010A0282010100"},
        AnswerCase{"CertificateEmpty", Op::Certificate, Http(CertBody("")), "ERR an empty DownloadCertificateResult."},
        AnswerCase{"CertificateMissing", Op::Certificate, Http(Body("DownloadCertificateResponse", "")),
                   "ERR no DownloadCertificateResult (missing"},
        AnswerCase{"CertificateBadBase64", Op::Certificate, Http(CertBody("MIIB!")), "ERR no DownloadCertificateResult (missing, or not valid base64)"},

        // Faults and answers that are neither result nor fault.
        AnswerCase{"FaultReceiverOtherPrefix", Op::Nonce,
                   Http(Fault12(" xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\"", "env:Receiver",
                                "Service unavailable", "<reason>maintenance</reason>"),
                        "", 500),
                   "ERR SOAP 1.2 fault SOAP-ENV:Receiver[no subcode]\n\"Service unavailable\"\nDetail: "
                   "<reason>maintenance</reason>"},
        AnswerCase{"FaultSenderWithSubcode", Op::Upload,
                   Http(SoapEnvelope("<SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value>"
                                     "<SOAP-ENV:Subcode><SOAP-ENV:Value>ns1:BadPolicy</SOAP-ENV:Value>"
                                     "</SOAP-ENV:Subcode></SOAP-ENV:Code><SOAP-ENV:Reason><SOAP-ENV:Text>"
                                     "Unknown policy</SOAP-ENV:Text></SOAP-ENV:Reason></SOAP-ENV:Fault>"),
                        "", 500),
                   "ERR SOAP 1.2 fault SOAP-ENV:Sender[ns1:BadPolicy]\n\"Unknown policy\"\nDetail: [no detail]"},
        AnswerCase{"FaultGzip", Op::Certificate,
                   Http(Fault12("", "SOAP-ENV:Sender", "Proof of possession failed", "x"), "gzip", 500),
                   "ERR \"Proof of possession failed\""},
        AnswerCase{"HeaderMustUnderstand", Op::Nonce,
                   Http("<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/"
                        "soap-envelope\" xmlns:ns1=\"" + kBase + "/NS/\"><SOAP-ENV:Header><x:Session xmlns:x=\"urn:x\" "
                        "SOAP-ENV:mustUnderstand=\"true\">1</x:Session></SOAP-ENV:Header><SOAP-ENV:Body>"
                        "<ns1:DownloadServerNonceResponse><ns1:DownloadServerNonceResult>AQID"
                        "</ns1:DownloadServerNonceResult></ns1:DownloadServerNonceResponse></SOAP-ENV:Body>"
                        "</SOAP-ENV:Envelope>"),
                   "ERR SOAP 1.2 fault SOAP-ENV:MustUnderstand"},
        AnswerCase{"UnexpectedBodyElement", Op::Nonce,
                   Http(Body("DownloadCertificateResponse", "<ns1:DownloadCertificateResult>AQID"
                                                            "</ns1:DownloadCertificateResult>")),
                   "ERR holds neither DownloadServerNonceResponse nor a SOAP fault"},
        AnswerCase{"EmptyBody", Op::Status, Http(SoapEnvelope("")), "ERR no RetrieveRequestStatusInfoResult"},
        AnswerCase{"HttpErrorWithoutEnvelope", Op::Status, Http("<html>gateway down</html>", "", 502), "ERR 502"},
        AnswerCase{"NotXml", Op::Upload, Http("this is not XML"), "ERR "},
        // A redirect is not followed, least of all to clear text.
        AnswerCase{"RedirectToPlainHttp", Op::Nonce,
                   "HTTP/1.1 307 Temporary Redirect\r\nLocation: http://127.0.0.1:9/axis2/services/RequestService\r\n"
                   "Content-Length: 0\r\nConnection: close\r\n\r\n",
                   "ERR 307"}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The message types as the binding reads them

// A status number outside the four is stored as unknown, and told with its number.
TEST(MessageTypes, UnknownStateNumberIsToldApart)
{
    CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(server.Start(Http(StatusBody(Record("AA", "7") + Record("BB", "pending") + Record("CC", "-1") +
                                             Record("DD", "unknown")))));
    std::map<std::string, CVarnockSingleton::TRequestStatus> states;
    std::map<std::string, long> unknown;
    vtest::Client(server.Endpoint()).retrieveRequestStatusInfo({"AA"}, states, &unknown);
    EXPECT_EQ(states, (std::map<std::string, CVarnockSingleton::TRequestStatus>{
                          {"AA", CVarnockSingleton::rsUnknown},
                          {"BB", CVarnockSingleton::rsPending},
                          {"CC", CVarnockSingleton::rsUnknown},
                          {"DD", CVarnockSingleton::rsUnknown}}));
    EXPECT_EQ(unknown, (std::map<std::string, long>{{"AA", 7}, {"CC", -1}}));
}

// The published two-argument form of the status query stays a symbol of the library of its
// own, as callers built against it link it; the form with the unknown states is another one.
TEST(MessageTypes, TwoArgumentStatusQueryIsExported)
{
    using TStates = std::map<std::string, CVarnockSingleton::TRequestStatus>;
    void (CVarnockSingleton::*pQuery)(const std::vector<std::string>&, TStates&) =
        &CVarnockSingleton::retrieveRequestStatusInfo;

    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&CVarnockSingleton::instance), &info), 0);
    void* pLibrary = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(pLibrary, nullptr) << info.dli_fname;
    EXPECT_NE(dlsym(pLibrary,
                    "_ZN17CVarnockSingleton25retrieveRequestStatusInfoERKSt6vectorINSt7__cxx1112basic_stringIcSt11"
                    "char_traitsIcESaIcEEESaIS6_EERSt3mapIS6_NS_14TRequestStatusESt4lessIS6_ESaISt4pairIKS6_SC_EEE"),
              nullptr)
        << "no two-argument retrieveRequestStatusInfo in " << info.dli_fname;
    dlclose(pLibrary);

    CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(server.Start(Http(StatusBody(Record("AA", "approved") + Record("BB", "7")))));
    TStates states{{"KEEP", CVarnockSingleton::rsPending}};
    (vtest::Client(server.Endpoint()).*pQuery)({"AA"}, states);
    EXPECT_EQ(states, (TStates{{"AA", CVarnockSingleton::rsApproved},
                               {"BB", CVarnockSingleton::rsUnknown},
                               {"KEEP", CVarnockSingleton::rsPending}}));
}

// The first child of a complex type that no field takes is kept whole as raw
// content; the enumeration holds the number as sent.
TEST(MessageTypes, RawContentAndStateNumber)
{
    CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(server.Start(Http(StatusBody(
        "<ns1:SRequestStatusInfo><ns1:note>filed by <b>hand</b></ns1:note><ns1:strKeyDigest>AA</ns1:strKeyDigest>"
        "<ns1:extra>skipped</ns1:extra><ns1:statusReq>7</ns1:statusReq></ns1:SRequestStatusInfo>"))));
    varnock::CServiceProxy proxy(server.Endpoint().c_str(), vtest::Pki().ca.certPem.c_str());
    ns1__ArrayOfString ids;
    ids.string = {"AA"};
    _ns1__RetrieveRequestStatusInfo request;
    request.strKeyIDs = &ids;
    _ns1__RetrieveRequestStatusInfoResponse response;
    ASSERT_EQ(proxy.RetrieveRequestStatusInfo(&request, &response), SOAP_OK) << proxy.FaultText();
    ASSERT_NE(response.RetrieveRequestStatusInfoResult, nullptr);
    ASSERT_EQ(response.RetrieveRequestStatusInfoResult->SRequestStatusInfo.size(), 1u);
    const ns1__SRequestStatusInfo* record = response.RetrieveRequestStatusInfoResult->SRequestStatusInfo[0];
    ASSERT_NE(record, nullptr);
    ASSERT_NE(record->strKeyDigest, nullptr);
    EXPECT_EQ(*record->strKeyDigest, "AA");
    EXPECT_EQ(record->statusReq, static_cast<ns1__RequestStatus>(7));
    ASSERT_NE(record->__item, nullptr);
    EXPECT_NE(std::string(record->__item).find("filed by <b>hand</b>"), std::string::npos) << record->__item;
    EXPECT_EQ(std::string(record->__item).find("skipped"), std::string::npos) << record->__item;
    EXPECT_EQ(record->soap, &proxy);
}

// A fault's detail of one of the binding's types is read typed: the xsi:type names
// the boxed class that is made for it.
struct BoxedCase {
    const char* name;
    std::string element;
    int type;
    std::string value; // what the boxed object holds, as text
};

void PrintTo(const BoxedCase& c, std::ostream* os)
{
    *os << c.name;
}

class BoxedDetail : public ::testing::TestWithParam<BoxedCase> {};

TEST_P(BoxedDetail, ReadAsItsClass)
{
    const BoxedCase& c = GetParam();
    CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(server.Start(Http(Fault12("", "SOAP-ENV:Sender", "refused", c.element), "", 500)));
    varnock::CServiceProxy proxy(server.Endpoint().c_str(), vtest::Pki().ca.certPem.c_str());
    std::string keyId = "AA";
    _ns1__DownloadServerNonce request;
    request.strKeyID = &keyId;
    _ns1__DownloadServerNonceResponse response;
    ASSERT_NE(proxy.DownloadServerNonce(&request, &response), SOAP_OK);
    ASSERT_NE(proxy.fault, nullptr);
    const SOAP_ENV__Detail* detail = proxy.fault->SOAP_ENV__Detail;
    ASSERT_NE(detail, nullptr);
    ASSERT_EQ(detail->__type, c.type);
    ASSERT_NE(detail->fault, nullptr);
    std::string value;
    switch (c.type) {
    case SOAP_TYPE_ns1__RequestStatus_:
        value = std::to_string(static_cast<ns1__RequestStatus_*>(detail->fault)->__item);
        break;
    case SOAP_TYPE_ns1__UploadRequestStatus_:
        value = std::to_string(static_cast<ns1__UploadRequestStatus_*>(detail->fault)->__item);
        break;
    case SOAP_TYPE_xsd__base64Binary_: {
        const xsd__base64Binary& b = static_cast<xsd__base64Binary_*>(detail->fault)->__item;
        value = fixture::ToHex(std::vector<unsigned char>(b.__ptr, b.__ptr + b.__size));
        break;
    }
    case SOAP_TYPE_ns1__POPToken: {
        const ns1__POPToken* token = static_cast<ns1__POPToken*>(detail->fault);
        value = token->strAlgorithmIdentifier ? *token->strAlgorithmIdentifier : "(none)";
        break;
    }
    }
    EXPECT_EQ(value, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Details, BoxedDetail,
    ::testing::Values(
        BoxedCase{"RequestStatus", "<fault xsi:type=\"ns1:RequestStatus\">pending</fault>",
                  SOAP_TYPE_ns1__RequestStatus_, "2"},
        BoxedCase{"RequestStatusUnknownNumber", "<fault xsi:type=\"ns1:RequestStatus\">9</fault>",
                  SOAP_TYPE_ns1__RequestStatus_, "9"},
        BoxedCase{"UploadRequestStatus", "<fault xsi:type=\"ns1:UploadRequestStatus\">rejected</fault>",
                  SOAP_TYPE_ns1__UploadRequestStatus_, "2"},
        BoxedCase{"Base64", "<fault xsi:type=\"xsd:base64Binary\">AQID</fault>", SOAP_TYPE_xsd__base64Binary_,
                  "010203"},
        BoxedCase{"Complex", "<fault xsi:type=\"ns1:POPToken\"><ns1:strAlgorithmIdentifier>1.2.3"
                             "</ns1:strAlgorithmIdentifier></fault>",
                  SOAP_TYPE_ns1__POPToken, "1.2.3"}),
    [](const ::testing::TestParamInfo<BoxedCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Errors, endpoints and time limits

// Each error text carries the earlier faults of the process before its own, and a
// long run keeps only the newest ones, whole.
TEST(ErrorText, CarriesEarlierFaultsWithinABound)
{
    CannedHttpsServer first(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(first.Start(Http(Fault12("", "SOAP-ENV:Receiver", "first failure", ""), "", 500)));
    CannedHttpsServer second(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(second.Start(Http(Fault12("", "SOAP-ENV:Sender", "second failure", ""), "", 500)));
    auto whatOf = [](const std::string& endpoint) {
        TByteArrayAutoPtr nonce;
        try {
            vtest::Client(endpoint).downloadNonce("AA", nonce);
        } catch (const CVarnockError& e) {
            EXPECT_EQ(std::string(e.what()).substr(std::strlen(e.what()) - e.ThisFault().size()), e.ThisFault());
            return std::make_pair(std::string(e.what()), e.ThisFault());
        }
        return std::make_pair(std::string("no error"), std::string());
    };

    const auto one = whatOf(first.Endpoint());
    const auto two = whatOf(second.Endpoint());
    EXPECT_EQ(two.second, "SOAP 1.2 fault SOAP-ENV:Sender[no subcode]\n\"second failure\"\nDetail: \n");
    ASSERT_GE(two.first.size(), one.first.size() + two.second.size()) << two.first;
    EXPECT_EQ(two.first.substr(0, one.first.size()), one.first) << "the earlier text was not kept";
    EXPECT_EQ(two.first.substr(one.first.size()), two.second);

    // A fault text of 1 KiB, failed far more often than the bound holds.
    const std::string reason(1024, 'r');
    CannedHttpsServer large(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(large.Start(Http(Fault12("", "SOAP-ENV:Receiver", reason, ""), "", 500), CannedHttpsServer::Mode::Answer, 120));
    const size_t rounds = CVarnockSingleton::kMaxErrorText / 1024 + 8;
    std::pair<std::string, std::string> last;
    for (size_t i = 0; i < rounds; ++i)
        last = whatOf(large.Endpoint());
    EXPECT_LE(last.first.size(), CVarnockSingleton::kMaxErrorText);
    EXPECT_GT(last.first.size(), CVarnockSingleton::kMaxErrorText - 2 * last.second.size());
    EXPECT_EQ(last.first.find("second failure"), std::string::npos) << "the oldest texts were not dropped";
    EXPECT_EQ(last.first.rfind("SOAP 1.2 fault", 0), 0u) << "a text was cut in the middle";
}

TEST(Endpoint, RefusedBeforeAnyInputOrOutput)
{
    CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(server.Start(Http(NonceBody("AQID"))));
    const std::string port = std::to_string(server.Port());
    const std::vector<std::string> refused = {"",
                                              "http://127.0.0.1:" + port + "/axis2/services/RequestService",
                                              "ftp://127.0.0.1:" + port + "/",
                                              "https://",
                                              "https:///axis2/services/RequestService",
                                              "127.0.0.1:" + port};
    for (const std::string& endpoint : refused) {
        for (Op op : {Op::Status, Op::Nonce, Op::Certificate}) {
            ::testing::internal::CaptureStdout();
            const std::string got = RunOp(op, endpoint);
            const std::string out = ::testing::internal::GetCapturedStdout();
            EXPECT_EQ(got.rfind("ERR ", 0), 0u) << endpoint << ": " << got;
            EXPECT_NE(got.find("endpoint"), std::string::npos) << got;
            EXPECT_EQ(out, "") << "the request went to standard output";
        }
        if (!endpoint.empty()) { // an empty one is a broken precondition of the upload
            EXPECT_EQ(RunOp(Op::Upload, endpoint).rfind("ERR ", 0), 0u) << endpoint;
        }
    }
    EXPECT_EQ(server.Connections(), 0);
    // The scheme is matched without regard to case.
    EXPECT_EQ(RunOp(Op::Nonce, "HTTPS://127.0.0.1:" + port + "/axis2/services/RequestService"), "OK 010203");
}

// A length that the wire's 32-bit count cannot carry is refused before anything is read or sent.
TEST(RequestText, OversizedRequestRefused)
{
    CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(server.Start(Http(UploadBody("accepted"))));
    const unsigned char der[] = {0x30, 0x00};
    std::string error;
    try {
        vtest::Client(server.Endpoint()).uploadCertRequest(der, static_cast<size_t>(INT_MAX) + 1, "1.2.3");
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
    EXPECT_EQ(server.Connections(), 0);
}

// A server that goes silent, before or after the TLS handshake, or that sends its
// answer a byte at a time (each byte well within one receive's limit), ends the call
// within the limits instead of holding the program forever, and the fault names the
// limit that ran out, not the half-read answer. The limits are scaled down to a few
// seconds to keep the test short; ProductLimitsEndASilentServer checks the program's own.
TEST(TimeLimits, SilentServerDoesNotHang)
{
    const std::string dripped = CannedHttpsServer::HttpAnswer(fixture::SoapEnvelope(
        "<ns1:DownloadServerNonceResponse><ns1:DownloadServerNonceResult>" + std::string(400, 'A') +
        "</ns1:DownloadServerNonceResult></ns1:DownloadServerNonceResponse>"));
    const struct {
        const char* what;
        CannedHttpsServer::Mode mode;
        std::string answer;
        int connect, sendReceive, transfer;
        bool requestSent;
        const char* limit;
    } cases[] = {
        {"after the handshake", CannedHttpsServer::Mode::StallAfterHandshake, "", 2, 1, 30, true,
         "1 seconds (to the request)"},
        {"before the handshake", CannedHttpsServer::Mode::StallBeforeHandshake, "", 2, 1, 30, false,
         "2 seconds (to a connection)"},
        {"a byte every 50 ms", CannedHttpsServer::Mode::Drip, dripped, 5, 2, 3, true,
         "3 seconds (with the whole answer)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
        ASSERT_TRUE(server.Start(c.answer, c.mode));
        varnock::TTimeouts limits;
        limits.connect = c.connect;
        limits.sendReceive = c.sendReceive;
        limits.transfer = c.transfer;
        varnock::CServiceProxy proxy(server.Endpoint().c_str(), vtest::Pki().ca.certPem.c_str(), limits);
        std::string keyId = "AA";
        _ns1__DownloadServerNonce request;
        request.strKeyID = &keyId;
        _ns1__DownloadServerNonceResponse response;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_NE(proxy.DownloadServerNonce(&request, &response), SOAP_OK);
        const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // The limit, then at most the engine's fixed 5 s wait for the TLS close.
        EXPECT_LT(seconds, 15.0);
        EXPECT_EQ(!server.WaitForRequest(0).empty(), c.requestSent) << "the request was sent before the wait";
        const std::string fault = proxy.FaultText();
        EXPECT_NE(fault.find(std::string("did not answer within ") + c.limit), std::string::npos) << fault;
        EXPECT_EQ(fault.find("holds neither"), std::string::npos) << fault;
        server.Stop();
    }
}

// A server that drops the connection while the request is still being written
// fails the call; it must not end the calling program with SIGPIPE.
TEST(Transport, PeerClosingWhileSendingFailsTheCall)
{
    CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(server.Start("", CannedHttpsServer::Mode::CloseAfterHandshake));
    const std::vector<unsigned char> large(8 * 1024 * 1024, 0x5A);
    std::string error;
    try {
        vtest::Client(server.Endpoint()).uploadCertRequest(large.data(), large.size(), "1.2.3");
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    EXPECT_NE(error, "");
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "a SIGPIPE was left pending";
}

// The program's own limits against a server that goes silent before and after the
// handshake (the two run at the same time, each on a proxy of its own, as every call
// of the client builds one with these defaults): each call ends within its limit, and
// the fault says that the service did not answer in time.
TEST(TimeLimits, ProductLimitsEndASilentServer)
{
    varnock::CServiceProxy defaults("https://127.0.0.1/", vtest::Pki().ca.certPem.c_str());
    EXPECT_EQ(defaults.connect_timeout, varnock::kConnectTimeout);
    EXPECT_EQ(defaults.send_timeout, varnock::kSendReceiveTimeout);
    EXPECT_EQ(defaults.recv_timeout, varnock::kSendReceiveTimeout);
    EXPECT_EQ(defaults.transfer_timeout, varnock::kTransferTimeout);
    // A person waits for these: about half a minute at most for each wait.
    EXPECT_LE(varnock::kConnectTimeout, 30);
    EXPECT_LE(varnock::kSendReceiveTimeout, 30);
    EXPECT_LE(varnock::kTransferTimeout, 60);

    struct Result {
        int error = SOAP_OK;
        double seconds = 0;
        std::string fault;
        bool requestSent = false;
    };
    const CannedHttpsServer::Mode modes[] = {CannedHttpsServer::Mode::StallBeforeHandshake,
                                             CannedHttpsServer::Mode::StallAfterHandshake};
    Result results[2];
    std::vector<std::thread> calls;
    for (int i = 0; i < 2; ++i) {
        calls.emplace_back([i, &modes, &results] {
            CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
            // The server outlives the client's limit: it must not end the wait itself.
            if (!server.Start("", modes[i], 10 * varnock::kConnectTimeout))
                return;
            varnock::CServiceProxy proxy(server.Endpoint().c_str(), vtest::Pki().ca.certPem.c_str());
            std::string keyId = "AA";
            _ns1__DownloadServerNonce request;
            request.strKeyID = &keyId;
            _ns1__DownloadServerNonceResponse response;
            const auto start = std::chrono::steady_clock::now();
            results[i].error = proxy.DownloadServerNonce(&request, &response);
            results[i].seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            results[i].fault = proxy.FaultText();
            results[i].requestSent = !server.WaitForRequest(0).empty();
            server.Stop();
        });
    }
    for (std::thread& call : calls)
        call.join();
    const int limits[] = {varnock::kConnectTimeout, varnock::kSendReceiveTimeout};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "silent before the handshake" : "silent after the handshake");
        EXPECT_NE(results[i].error, SOAP_OK);
        // The limit, then at most the engine's fixed 5 s wait for the TLS close.
        EXPECT_LT(results[i].seconds, limits[i] + 15.0);
        EXPECT_EQ(results[i].requestSent, i == 1);
        EXPECT_NE(results[i].fault.find("did not answer within " + std::to_string(limits[i]) + " seconds"),
                  std::string::npos)
            << results[i].fault;
    }
}

// ---------------------------------------------------------------------------
// Preconditions end the process with the broken expression and its fixed place.

TEST(PreconditionsDeathTest, UploadNeedsEveryArgumentAndAnEndpoint)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    const unsigned char der[] = {0x30, 0x00};
    // Checked in this order: the arguments first, then the endpoint.
    EXPECT_DEATH(vtest::Client("").uploadCertRequest(nullptr, 0, nullptr), "pbData, file Varnock, line 32\n");
    EXPECT_DEATH(vtest::Client("").uploadCertRequest(der, 0, nullptr), "cbData, file Varnock, line 33\n");
    EXPECT_DEATH(vtest::Client("").uploadCertRequest(der, sizeof der, nullptr), "pszPolicyID, file Varnock, line 34\n");
    EXPECT_DEATH(vtest::Client("").uploadCertRequest(der, sizeof der, "1.2.3"),
                 "!m_sEndpointURL.empty\\(\\), file Varnock, line 35\n");
}

TEST(PreconditionsDeathTest, SettingsNeedText)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_DEATH(CVarnockSingleton::instance().trustedCerts(nullptr), "pszTrustedCertsPEM, file Varnock, line 18\n");
    EXPECT_DEATH(CVarnockSingleton::instance().endpointURL(nullptr), "pszURL, file Varnock, line 25\n");
}

TEST(PreconditionsDeathTest, StatusNeedsKeys)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    std::map<std::string, CVarnockSingleton::TRequestStatus> states;
    EXPECT_DEATH(vtest::Client("https://127.0.0.1/").retrieveRequestStatusInfo({}, states),
                 "!lstKeyIDs.empty\\(\\), file Varnock, line 71\n");
}

TEST(PreconditionsDeathTest, DownloadNeedsEveryPart)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    TByteArrayAutoPtr full, empty, out;
    vtest::Fill(full, {1});
    auto& client = vtest::Client("https://127.0.0.1/");
    EXPECT_DEATH(client.downloadCertificate(empty, full, full, "1.2", out), "aptrServerNonce.size\\(\\), file Varnock, line 128\n");
    EXPECT_DEATH(client.downloadCertificate(full, empty, full, "1.2", out), "aptrClientNonce.size\\(\\), file Varnock, line 129\n");
    EXPECT_DEATH(client.downloadCertificate(full, full, empty, nullptr, out), "aptrSignature.size\\(\\), file Varnock, line 130\n");
    EXPECT_DEATH(client.downloadCertificate(full, full, full, nullptr, out), "pszAlgOID, file Varnock, line 131\n");
    EXPECT_DEATH(client.downloadNonce(nullptr, out), "pszKeyID, file Varnock, line 107\n");
}

TEST(PreconditionsDeathTest, ProxyNeedsEndpointAndTrustFile)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_DEATH(varnock::CServiceProxy(nullptr, "/no/such/trust.pem"),
                 "pszEndpoint, file soapRequestServiceSoapProxy, line 20\n");
    EXPECT_DEATH(varnock::CServiceProxy("https://127.0.0.1/", nullptr),
                 "pchTrustedCertsPEM, file soapRequestServiceSoapProxy, line 27\n");
}

} // namespace
