# Imported targets for the system dependencies, so subsystems link by name.
find_package(PkgConfig REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)

# eSNACC C++ runtime: shared only (the static archive is not PIC); headers as system headers.
find_path(ESNACC_INCLUDE_DIR asn-incl.h PATHS /usr/include/cxx-lib/inc REQUIRED)
find_library(ESNACC_LIBRARY cxxasn1 REQUIRED)
find_program(ESNACC_EXECUTABLE esnacc REQUIRED)
add_library(esnacc::cxxasn1 SHARED IMPORTED)
set_target_properties(esnacc::cxxasn1 PROPERTIES
  IMPORTED_LOCATION ${ESNACC_LIBRARY}
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${ESNACC_INCLUDE_DIR}
  INTERFACE_INCLUDE_DIRECTORIES ${ESNACC_INCLUDE_DIR})

# gSOAP with OpenSSL and zlib, shared.
pkg_check_modules(GSOAPSSL REQUIRED IMPORTED_TARGET gsoapssl++)
find_program(SOAPCPP2_EXECUTABLE soapcpp2 REQUIRED)
set(GSOAP_IMPORT_DIR /usr/share/gsoap/import)

# The PKCS#11 header from p11-kit.
find_path(PKCS11_INCLUDE_DIR p11-kit/pkcs11.h PATHS /usr/include/p11-kit-1 REQUIRED)
add_library(pkcs11::headers INTERFACE IMPORTED)
set_target_properties(pkcs11::headers PROPERTIES
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${PKCS11_INCLUDE_DIR}/p11-kit
  INTERFACE_INCLUDE_DIRECTORIES ${PKCS11_INCLUDE_DIR}/p11-kit)

find_package(Qt5 5.15 REQUIRED COMPONENTS Core Widgets PrintSupport XmlPatterns LinguistTools Network Test)

# Real modules the tests load.
set(SOFTHSM2_MODULE /usr/lib/softhsm/libsofthsm2.so CACHE FILEPATH "SoftHSM2 PKCS#11 module")
find_program(SOFTHSM2_UTIL softhsm2-util)
find_program(PKCS11_TOOL pkcs11-tool)
find_program(OPENSSL_EXECUTABLE openssl)
find_library(OPENSC_ONEPIN_MODULE onepin-opensc-pkcs11.so PATHS /usr/lib/x86_64-linux-gnu)
# NSS's softoken (in libnss3).
find_library(NSS_SOFTOKEN_MODULE libsoftokn3.so PATHS /usr/lib/x86_64-linux-gnu)

find_program(CLANGXX_EXECUTABLE clang++)
find_package(GTest REQUIRED)
