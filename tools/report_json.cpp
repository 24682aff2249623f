#include "report_json.h"

#include <cmath>
#include <cstdio>

#include "command_support.h"

std::string RateText(AVRational rate) { return std::to_string(rate.num) + "/" + std::to_string(rate.den); }

Json ProvenanceJson(const Provenance* p)
{
    if (!p) return nullptr;
    return Json{{"encoder", p->encoder},
                {"source_pixel_format", p->pixelFormat},
                {"source_width", p->width},
                {"source_height", p->height},
                {"source_frame_rate", RateText(p->rate)},
                {"field_order", p->fieldOrder},
                {"mapping", MappingKey(p->mapping)},
                {"exact", p->exact},
                {"loss", p->exact ? Json(nullptr) : Json(p->loss)}};
}

Json CodersJson(int64_t huffman, int64_t deflate) { return Json{{"HUFY", huffman}, {"LZYV", deflate}}; }

Json DifferenceJson(const Difference& difference)
{
    Json json = Json::object();
    for (int c = 0; c < difference.components; ++c) json[std::string(1, difference.names[c])] = difference.largest[c];
    const double psnr = difference.Psnr();
    json["psnr_db"] = std::isfinite(psnr) ? Json(std::round(psnr * 100) / 100) : Json(nullptr);
    return json;
}

void PrintJson(const Json& report)
{
    const std::string text = report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    FlushStandardOutput();
}
