# System audio for streams: the default sink's monitor source through libpulse (PulseAudio or
# PipeWire's pulse server).
pkg_check_modules(AUDIO_PULSE REQUIRED IMPORTED_TARGET libpulse)
target_link_libraries(Ombrel_Remote_Host PUBLIC PkgConfig::AUDIO_PULSE)
