#include "provenance.h"

#include <cstdio>
#include <cstring>

#ifndef KESTRUN_VERSION
#define KESTRUN_VERSION "0"
#endif

namespace {
struct MappingName {
    Mapping mapping;
    const char* text;
    const char* key;
};
constexpr MappingName mappingNames[] = {
    {Mapping::Packed, "chroma as it was", "as_it_was"},
    {Mapping::RowsRepeated, "chroma rows repeated", "rows_repeated"},
    {Mapping::FieldRows, "chroma rows repeated in each field", "rows_repeated_in_each_field"},
    {Mapping::ColumnsRepeated, "chroma samples repeated along the rows", "samples_repeated_along_the_rows"},
    {Mapping::Bt601, "colour through BT.601", "bt601"},
    {Mapping::Converted, "converted by libswscale", "libswscale"},
};
constexpr const char* CommentPrefix = "kestrun: ";

std::string Tag(const AVFormatContext* input, const char* key)
{
    const AVDictionaryEntry* entry = av_dict_get(input->metadata, key, nullptr, AV_DICT_MATCH_CASE);
    return entry && entry->value ? entry->value : "";
}
} // namespace

ChromaRepetition RepetitionOf(Mapping mapping)
{
    switch (mapping) {
    case Mapping::RowsRepeated: return ChromaRepetition::Rows;
    case Mapping::FieldRows: return ChromaRepetition::FieldRows;
    case Mapping::ColumnsRepeated: return ChromaRepetition::Columns;
    default: return ChromaRepetition::None;
    }
}

const char* DescribeMapping(Mapping mapping)
{
    for (const MappingName& name : mappingNames)
        if (name.mapping == mapping) return name.text;
    return "";
}

const char* MappingKey(Mapping mapping)
{
    for (const MappingName& name : mappingNames)
        if (name.mapping == mapping) return name.key;
    return "";
}

std::string EncoderName() { return "kestrun " KESTRUN_VERSION; }

void WriteProvenance(AVFormatContext* output, const Provenance& p)
{
    av_dict_set(&output->metadata, "encoded_by", p.encoder.c_str(), 0);
    char source[160];
    std::snprintf(source, sizeof source, "%s %ux%u %d/%d %s", p.pixelFormat.c_str(), p.width, p.height, p.rate.num,
                  p.rate.den, p.fieldOrder.c_str());
    av_dict_set(&output->metadata, "ISRF", source, 0);
    const std::string state = p.exact ? "exact" : "lossy (" + p.loss + ")";
    av_dict_set(&output->metadata, "comment", (CommentPrefix + state + "; " + DescribeMapping(p.mapping)).c_str(), 0);
}

bool ReadProvenance(const AVFormatContext* input, Provenance* p)
{
    const std::string comment = Tag(input, "comment"), source = Tag(input, "ISRF");
    if (comment.rfind(CommentPrefix, 0) != 0 || source.empty()) return false;
    *p = Provenance{};
    p->encoder = Tag(input, "encoded_by");
    char pixelFormat[64] = {}, fieldOrder[32] = {};
    if (std::sscanf(source.c_str(), "%63s %ux%u %d/%d %31s", pixelFormat, &p->width, &p->height, &p->rate.num,
                    &p->rate.den, fieldOrder) != 6)
        return false;
    p->pixelFormat = pixelFormat;
    p->fieldOrder = fieldOrder;
    std::string state = comment.substr(std::strlen(CommentPrefix));
    const std::size_t split = state.rfind("; ");
    if (split == std::string::npos) return false;
    const std::string mapping = state.substr(split + 2);
    state.resize(split);
    bool known = false;
    for (const MappingName& name : mappingNames)
        if (mapping == name.text) {
            p->mapping = name.mapping;
            known = true;
        }
    p->exact = state == "exact";
    if (!p->exact) {
        if (state.rfind("lossy (", 0) != 0 || state.back() != ')') return false;
        p->loss = state.substr(7, state.size() - 8);
    }
    return known;
}
