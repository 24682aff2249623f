// The archive jobs behind encode, decode, verify, framemd5, info and demo,
// shared so that demo runs exactly what the commands run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "picture_compare.h"
#include "provenance.h"

struct EncodeJob {
    std::string input, output;
    FrameCoder coder = FrameCoder::Huffman;
    unsigned threads = 1;
    bool quiet = false; // no progress line, no notes
    bool notes = true;  // notes (conversion, streams left out) unless quiet
    bool lossy = false; // a source that cannot come back exactly is archived all the same
    bool fixity = true; // the fixity file beside the archive (never for a device or pipe)
};

struct JobStats {
    int64_t frames = 0; // pictures
    int64_t holds = 0;  // encode: frames that repeat the picture before
    uint32_t width = 0, height = 0;
    uint64_t codedBytes = 0;   // compressed frames, headers included
    uint64_t pictureBytes = 0; // the same frames as 4:2:2 pictures
    int64_t huffmanFrames = 0, deflateFrames = 0;
    double seconds = 0;
    std::string sourceFormat; // the source's pixel format
    Mapping mapping = Mapping::Packed;
    bool exact = true;        // the source's pictures come back exactly
    std::string loss;         // what is lost when not
    Difference difference;    // verify of a lossy source: how far the pictures are from the source's
    struct Damage {
        int64_t frame;       // numbered from 0 in stream order, holds included
        std::string problem; // "it has an unknown tag ..."
    };
    std::vector<Damage> damaged;  // verify: the damaged frames
    bool compared = false;        // verify: compared with a source
    std::string problem;          // verify: a problem with the whole file (truncated, lengths differ)
    std::vector<std::string> audio; // verify: each audio stream against the source's
    bool audioIdentical = true;
    // verify: the pictures against the fixity file: "match", "mismatch" or
    // "absent"; its path; what is wrong with it as a whole, if anything.
    std::string fixityState = "absent", fixityPath, fixityProblem;
    bool recorded = false;    // verify: the archive records its source,
    Provenance provenance;    // this one
    AVRational rate{0, 1};    // verify: the archive's frame rate

    double Ratio() const { return pictureBytes ? double(codedBytes) / double(pictureBytes) : 0.0; }
    double FramesPerSecond() const { return seconds > 0 ? double(frames) / seconds : 0.0; }
};

JobStats RunEncode(const EncodeJob& job);

struct VerifyJob {
    std::string input, against;
    std::string fixity; // --fixity FILE; "" for the one beside the archive, if any
    unsigned threads = 1;
    bool quiet = false;
    bool report = true; // each damaged frame on standard output as it is found
};

// Checks every frame of an archive, and reports every damaged one as it goes.
JobStats RunVerify(const VerifyJob& job);
