// The JSON reports of info and verify (--json): one object on standard
// output, its fields documented in the README and kept stable. Built with
// nlohmann's JSON library, which does the escaping; keys keep their order.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "archive.h"
#include "cli.h"
#include "provenance.h"

using Json = nlohmann::ordered_json;

// "30000/1001"
std::string RateText(AVRational rate);
// The source an archive records: encoder, source format, size, rate, field
// order, mapping, exact, loss; null when the archive records none.
Json ProvenanceJson(const Provenance* provenance);
// {"HUFY": n, "LZYV": n}
Json CodersJson(int64_t huffman, int64_t deflate);
// The largest difference per component and the PSNR: {"Y": 0, ..., "psnr_db": 41.2}.
Json DifferenceJson(const Difference& difference);

// Writes the report, one object and a newline; fails when it cannot be written.
void PrintJson(const Json& report);

// Runs a command's work; a failure is also reported as {"file", "error"} on
// standard output before it goes on to the caller as usual, so that a
// script reading the report always gets one object.
template <typename Work> int ReportingFailures(const std::string& file, bool json, Work work)
{
    try {
        return work();
    } catch (const CliError& error) {
        if (json) PrintJson(Json{{"file", file}, {"error", error.what()}});
        throw;
    }
}
