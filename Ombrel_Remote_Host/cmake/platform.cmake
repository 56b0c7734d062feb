# Desktop-session services: mDNS advertisement through avahi-daemon, power, screen lock and
# session queries over D-Bus (sd-bus); the X screensaver and DPMS for keeping the screen on.
pkg_check_modules(PLATFORM_DESKTOP REQUIRED IMPORTED_TARGET avahi-client libsystemd xscrnsaver xext)
target_link_libraries(Ombrel_Remote_Host PUBLIC PkgConfig::PLATFORM_DESKTOP Threads::Threads)
