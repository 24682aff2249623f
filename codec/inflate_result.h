// What an inflate into an exact-size buffer found; shared by the inflaters
// (zlib's, libdeflate's, the codec's own) and the frame decoder.
#pragma once

enum class InflateResult {
    Ok,            // the stream ended, filling the output exactly, and its check value holds
    NoMemory,
    CutShort,      // the input ends before the stream does
    ShortOutput,   // the stream ends before the output is full
    LongOutput,    // the stream goes on past the output's end
    BadCheckValue, // the Adler-32 of the output is not the stream's
    BadData,       // anything else the stream contradicts: header, codes, distances
};
