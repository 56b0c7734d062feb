#pragma once

// Everything a message handler needs: the type codes and every record that travels in a
// session message, JSON and binary.

#include "OmbrelKit/ai_messages.h"
#include "OmbrelKit/desktop_messages.h"
#include "OmbrelKit/display_info.h"
#include "OmbrelKit/file_chunk.h"
#include "OmbrelKit/host_error_code.h"
#include "OmbrelKit/input_event.h"
#include "OmbrelKit/message_type.h"
#include "OmbrelKit/nv_json.h"
#include "OmbrelKit/session_messages.h"
#include "OmbrelKit/stream_messages.h"
#include "OmbrelKit/video_codec.h"
#include "OmbrelKit/video_frame.h"
