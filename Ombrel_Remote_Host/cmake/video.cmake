# Video encoding: libavcodec encoders (hardware ones when the machine has them, libx264 and
# libx265 otherwise) and libyuv for the BGRX to 4:2:0 conversion. libswscale is only the
# baseline the encoder benchmark measures libyuv against. Debian ships no libyuv.pc, so libyuv
# is found by header and library.
pkg_check_modules(AV REQUIRED IMPORTED_TARGET libavcodec libavutil libswscale)
find_path(LIBYUV_INCLUDE_DIR libyuv.h REQUIRED)
find_library(LIBYUV_LIBRARY yuv REQUIRED)
target_include_directories(Ombrel_Remote_Host PUBLIC ${LIBYUV_INCLUDE_DIR})
target_link_libraries(Ombrel_Remote_Host PUBLIC PkgConfig::AV ${LIBYUV_LIBRARY})
