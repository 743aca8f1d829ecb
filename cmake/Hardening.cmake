# The hardening Debian builds every package with (dpkg-buildflags, hardening=+all), for
# every target of an ordinary tree: brennix parses downloaded files and bytes from
# half-working adapters, often as root. The sanitizer and fuzzing trees go without it,
# since fortified libc calls bypass the sanitizers' own checks of those calls.

# Links programs as position-independent executables (CMAKE_POSITION_INDEPENDENT_CODE).
include(CheckPIESupported)
check_pie_supported()

add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security
  # Fortified libc calls need optimisation; glibc warns without it.
  $<$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>:-D_FORTIFY_SOURCE=2>)
add_link_options(-Wl,-z,relro,-z,now)
