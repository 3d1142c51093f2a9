# The hardening a Debian package is expected to have (what dpkg-buildflags hands a package
# build): fortified C library calls, stack protector, a read-only relocation table bound at
# start, and position-independent programs. Left out of the sanitizer and fuzz builds, whose
# instrumentation does the checking there and clashes with the fortified calls.
option(TARVO_HARDEN "Build with the distribution's hardening flags" ON)
if(TARVO_HARDEN AND NOT TARVO_SANITIZE AND NOT TARVO_FUZZ AND NOT MSVC
   AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
    include(CheckPIESupported)
    check_pie_supported()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    # The fortified calls need the optimiser; a build without it would only warn.
    add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
    add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
    add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
