# Debian packages, by CPack's DEB generator (scripts/package.sh): randdump, libckhelper1 and
# libckhelper-dev, one per install component, named and split the Debian way.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ckhelper)
set(CPACK_PACKAGE_VENDOR Sorvane)
# The summary is each package's own, the first line of its description.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_CONTACT "Sorvane <randdump@sorvane.example>")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL randdump libckhelper1 libckhelper-dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE ckhelper)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://sorvane.example/randdump")
set(CPACK_STRIP_FILES ON)
# Each package's binary dependencies from dpkg-shlibdeps; libckhelper.so.1 is found in the
# build tree, and the packages depend on the exact libckhelper1 built with them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_RANDDUMP_DEPENDS libckhelper1)
set(CPACK_COMPONENT_LIBCKHELPER-DEV_DEPENDS libckhelper1)

set(CPACK_DEBIAN_RANDDUMP_PACKAGE_NAME randdump)
set(CPACK_DEBIAN_RANDDUMP_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_RANDDUMP_PACKAGE_SUGGESTS "softhsm2, p11-kit-modules")
set(CPACK_DEBIAN_RANDDUMP_DESCRIPTION "draw raw random bytes from a PKCS#11 token's generator
randdump asks a cryptographic token (an HSM, a smart card, a TPM, SoftHSM2)
for random bytes through PKCS#11 and writes them, raw and in order, to a
file or straight into a statistical test suite: dieharder, rngtest, ent,
PractRand, NIST STS, SP 800-90B. It chooses the token by PKCS#11 URI or
slot, writes files durably, and can record the run as JSON (token, module,
host, the sample's SHA-256), check that the token's bytes came from a
generator, and draw SP 800-90B restart data.")

set(CPACK_DEBIAN_LIBCKHELPER1_PACKAGE_NAME libckhelper1)
set(CPACK_DEBIAN_LIBCKHELPER1_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBCKHELPER1_DESCRIPTION "Cryptoki helper library
ckhelper names PKCS#11 (Cryptoki) things by text: result codes as readable
texts, constants by name, tokens by label or PKCS#11 URI, objects by class
and label, by a token(pin)/label reference or by URI, with helpers to
create, relabel, read and write token objects.
This package holds the shared library.")
# A shlibs file, so that what links libckhelper.so.1 depends on a libckhelper1 that has it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The dynamic loader's cache learns of the library through dpkg's ldconfig trigger.
set(CPACK_DEBIAN_LIBCKHELPER1_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_LIBCKHELPER1_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_LIBCKHELPER-DEV_PACKAGE_NAME libckhelper-dev)
set(CPACK_DEBIAN_LIBCKHELPER-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBCKHELPER-DEV_PACKAGE_DEPENDS "libp11-kit-dev, pkg-config")
set(CPACK_DEBIAN_LIBCKHELPER-DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_LIBCKHELPER-DEV_DESCRIPTION "Cryptoki helper library (development files)
ckhelper names PKCS#11 (Cryptoki) things by text: result codes as readable
texts, constants by name, tokens by label or PKCS#11 URI, objects by class
and label, by a token(pin)/label reference or by URI, with helpers to
create, relabel, read and write token objects.
This package holds the header, the link to the library, its pkg-config file,
its CMake package and ckhelper(3).")

include(CPack)
