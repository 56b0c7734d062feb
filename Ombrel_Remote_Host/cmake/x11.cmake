# The X11 desktop backends (screen capture, displays, privacy screen).
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11 xext xdamage xfixes xrandr)
target_link_libraries(Ombrel_Remote_Host PUBLIC PkgConfig::X11 PkgConfig::SPNG)
