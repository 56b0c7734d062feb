# The controller's permission probe: the X display, its shared-memory and XTest extensions.
pkg_check_modules(CONTROLLER_X11 REQUIRED IMPORTED_TARGET x11 xext xtst)
target_link_libraries(Ombrel_Remote_Host PUBLIC PkgConfig::CONTROLLER_X11)
