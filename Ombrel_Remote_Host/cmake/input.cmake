# Input injection (XTest), the remote-click classifier (XInput 2 raw events) and the caret
# (AT-SPI).
pkg_check_modules(OMBREL_INPUT REQUIRED IMPORTED_TARGET x11 xtst xi atspi-2 glib-2.0 gobject-2.0)
target_link_libraries(Ombrel_Remote_Host PUBLIC PkgConfig::OMBREL_INPUT)
