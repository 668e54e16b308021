// The engine's namespace table. It is written here rather than taken from the
// generated .nsmap so that the SOAP 1.2 port's namespace (ns3), which no element
// uses and the generator therefore leaves out, is declared on every envelope too.
#include "stdsoap2.h"
#include <varnock/VarnockConfig.h>

SOAP_NMAC struct Namespace namespaces[] = {
    {"SOAP-ENV", "http://www.w3.org/2003/05/soap-envelope", nullptr, nullptr},
    {"SOAP-ENC", "http://www.w3.org/2003/05/soap-encoding", nullptr, nullptr},
    {"xsi", "http://www.w3.org/2001/XMLSchema-instance", "http://www.w3.org/*/XMLSchema-instance", nullptr},
    {"xsd", "http://www.w3.org/2001/XMLSchema", "http://www.w3.org/*/XMLSchema", nullptr},
    {"ns2", VARNOCK_NAMESPACE_BASE "/NS/RequestServiceSoap", nullptr, nullptr},
    {"ns1", VARNOCK_NAMESPACE_BASE "/NS/", nullptr, nullptr},
    {"ns3", VARNOCK_NAMESPACE_BASE "/NS/RequestServiceSoap12", nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr}};
