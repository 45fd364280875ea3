#ifndef PLATFORM_JSON_JSON_SPIRIT_H
#define PLATFORM_JSON_JSON_SPIRIT_H

// The whole JSON library.
#include "platform/json/array_filter.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/json/json_pointer.h"
#include "platform/json/object_creator.h"
#include "platform/json/object_get.h"
#include "platform/json/value.h"
#include "platform/json/yajl_handler.h"

#pragma GCC visibility push(default)
#pragma GCC visibility pop

#endif
