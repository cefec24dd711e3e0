#pragma once
// The writer of the --json output: the shared JSON writer, which also writes VARIANTs.

#include "orv/hmx/JsonWriter.h"

#include <windows.h>
#include <oleauto.h>

namespace opcq {

using orv::hmx::JsonNumber;
using orv::hmx::JsonString;

class JsonWriter : public orv::hmx::BasicJsonWriter<JsonWriter> {
public:
    // Numbers as numbers, BOOL as true/false, text as strings, arrays as arrays, EMPTY
    // and NULL as null, anything else as the text FormatValue gives it.
    JsonWriter& Variant(const VARIANT& value);
};

}  // namespace opcq
