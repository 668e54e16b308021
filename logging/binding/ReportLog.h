// Declarations of the error-report service from which soapcpp2 makes the report's
// binding at build time (in the C++ namespace reportlog, beside the request service's).

//gsoap rl service name: ReportLog
//gsoap rl service protocol: SOAP1.2
//gsoap rl service style: document
//gsoap rl service encoding: literal
//gsoap rl service namespace: urn:veskora:tessaly:reportlog:1
//gsoap rl schema namespace: urn:veskora:tessaly:reportlog:1
//gsoap rl schema elementForm: qualified
//gsoap rl service method-action: ReportLog urn:veskora:tessaly:reportlog:1/ReportLog

#import "stl.h"

// One report: what the user agreed to send.
class _rl__ReportLog {
public:
    int product 1;
    unsigned long severity 1;
    std::wstring email 1;
    std::wstring comment 1;
    std::wstring details 1;
};

// The service's answer carries nothing but its being one (an empty body counts too).
class _rl__ReportLogResponse {
public:
    struct soap* soap;
};

int __rl__ReportLog(_rl__ReportLog* rl__ReportLog, _rl__ReportLogResponse& rl__ReportLogResponse);
