# Run after soapcpp2 in the folder of the generated binding (cmake -DDIR=... -P
# PatchBinding.cmake). The generator of this gSOAP version reads the service's
# enumerations more strictly than the service's own types allow, gives them no
# fixed width, and lets a caller's empty type silence the xsi:type of the complex
# types. Each change must find its text exactly once, so a generator that writes
# otherwise stops the build instead of going unpatched.
set(FILE "${DIR}/soapStub.h")
file(READ "${FILE}" code)

function(replace_once what with)
  string(FIND "${code}" "${what}" first)
  if(first EQUAL -1)
    message(FATAL_ERROR "PatchBinding: text not found in ${FILE}:\n${what}")
  endif()
  string(LENGTH "${what}" length)
  math(EXPR after "${first} + ${length}")
  string(SUBSTRING "${code}" ${after} -1 rest)
  string(FIND "${rest}" "${what}" second)
  if(NOT second EQUAL -1)
    message(FATAL_ERROR "PatchBinding: text found twice in ${FILE}:\n${what}")
  endif()
  string(REPLACE "${what}" "${with}" code "${code}")
  set(code "${code}" PARENT_SCOPE)
endfunction()

# The enumerations are 32-bit ints, so that a number the service sends outside
# their values is still one of theirs.
foreach(enum ns1__RequestStatus ns1__UploadRequestStatus)
  replace_once("enum ${enum} {" "enum ${enum} : int {")
endforeach()
file(WRITE "${FILE}" "${code}")

set(FILE "${DIR}/soapC.cpp")
file(READ "${FILE}" code)

# Enumerations: any decimal number that fits is taken as it stands (the client maps
# numbers it does not know itself). An empty request state reads as 0 (unknown); an
# empty upload state stays a type error, since reading it as 0 would be an acceptance.
replace_once(
  "\telse if (!*s)\n\t\treturn soap->error = SOAP_EMPTY;\n\telse\n\t{\tint n;\n\t\tif (soap_s2int(soap, s, &n) || n < 0 || n > 3)"
  "\telse if (!*s)\n\t\t*a = (enum ns1__RequestStatus)0;\n\telse\n\t{\tint n;\n\t\tif (soap_s2int(soap, s, &n))")
replace_once("if (soap_s2int(soap, s, &n) || n < 0 || n > 2)" "if (soap_s2int(soap, s, &n))")

# An upload answer without its state is not an acceptance: the one required value
# whose absence would read as success fails the answer, strict mode or not.
replace_once("if ((soap->mode & SOAP_XML_STRICT) && (soap_flag_UploadCertificateRequestResult1 > 0))"
             "if (soap_flag_UploadCertificateRequestResult1 > 0)")

# The complex types always name their own type on the wire.
foreach(type POPToken ArrayOfString ArrayOfSRequestStatusInfo SRequestStatusInfo)
  replace_once("type ? type : \"ns1:${type}\"))" "\"ns1:${type}\"))")
endforeach()

file(WRITE "${FILE}" "${code}")
