# Hardening for every executable built here, the equivalent of what Debian's
# dpkg-buildflags gives with DEB_BUILD_MAINT_OPTIONS=hardening=+all:
#
#   position-independent executables   (PIE: the loader can place them anywhere)
#   -fstack-protector-strong           (canaries in functions with arrays or addresses taken)
#   -Wformat -Werror=format-security   (no printf-style call with a non-literal format)
#   -D_FORTIFY_SOURCE=2                (libc calls checked against known buffer sizes)
#   -z relro -z now                    (full RELRO: every symbol bound at load time,
#                                       the relocations read-only afterwards)
#
# _FORTIFY_SOURCE works only with optimisation, so Debug builds go without it,
# and so do the sanitizer builds (AddressSanitizer, ThreadSanitizer) and the
# fuzz build, whose own checks see more without it. The compiler's own default is dropped first, so no build warns about a
# redefinition.

include(CheckPIESupported)
check_pie_supported(OUTPUT_VARIABLE stelmo_pie_output LANGUAGES CXX)
if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
  message(WARNING "stelmo: cannot link position-independent executables: ${stelmo_pie_output}")
endif()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
if(NOT STELMO_SANITIZE AND NOT STELMO_TSAN AND NOT STELMO_FUZZ)
  set(stelmo_optimised $<CONFIG:Release,RelWithDebInfo,MinSizeRel>)
  add_compile_options($<${stelmo_optimised}:-U_FORTIFY_SOURCE>
                      $<${stelmo_optimised}:-D_FORTIFY_SOURCE=2>)
endif()
add_link_options(LINKER:-z,relro LINKER:-z,now)
