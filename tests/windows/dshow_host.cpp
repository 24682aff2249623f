// A DirectShow client of the installed kestrun.dll: the AVI Decompressor
// filter, the path Windows players take to a Video for Windows codec, decodes
// the frames of a KSHA AVI, and every sample must equal the tool's decode.
//
//   dshow_host --avi FILE --format yuy2|rgb24 --expected RAW
//
// RAW holds the pictures as `kestrun decode --format FMT` writes them (RGB
// bottom-up, as DIBs). The frames are read with AVIFile and handed to the
// decompressor by a source pin of this program's own; a sink pin of its own
// takes the samples. Before that it asks the platform's AVI splitter what it
// offers for the file and says so: where it offers the KSHA stream a whole
// graph could be built instead (Wine 8's, from winegstreamer, offers none).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <dshow.h>
#include <mmsystem.h>
#include <vfw.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

int passed = 0;
int failed = 0;

template <typename... Args> void Check(bool ok, const char* format, Args... args)
{
    if (ok) {
        ++passed;
        return;
    }
    ++failed;
    std::printf("FAILED: ");
    std::printf(format, args...);
    std::printf("\n");
    std::fflush(stdout);
}

// A video subtype from a four-character code.
GUID FourccSubtype(DWORD fourcc)
{
    GUID guid = {0x00000000, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
    guid.Data1 = fourcc;
    return guid;
}

struct MediaType {
    AM_MEDIA_TYPE type{};
    VIDEOINFOHEADER video{};

    MediaType(const BITMAPINFOHEADER& header, const GUID& subtype)
    {
        video.bmiHeader = header;
        type.majortype = MEDIATYPE_Video;
        type.subtype = subtype;
        type.formattype = FORMAT_VideoInfo;
        type.bFixedSizeSamples = header.biCompression == BI_RGB || subtype == MEDIASUBTYPE_YUY2;
        type.lSampleSize = type.bFixedSizeSamples ? header.biSizeImage : 0;
        type.cbFormat = sizeof video;
        type.pbFormat = reinterpret_cast<BYTE*>(&video);
    }
};

// The objects below live on main's stack: reference counts are kept for the
// callers' sake, never to free.
class Filter : public IBaseFilter {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IPersist || iid == IID_IMediaFilter || iid == IID_IBaseFilter) {
            *out = static_cast<IBaseFilter*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override { return ULONG(InterlockedDecrement(&references_)); }
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stop() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Pause() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE* state) override
    {
        *state = State_Running;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override
    {
        *clock = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR, IPin**) override { return VFW_E_NOT_FOUND; }
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override
    {
        std::memset(info, 0, sizeof *info);
        std::wcscpy(info->achName, L"dshow_host");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph*, LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

private:
    LONG references_ = 1;
};

// One end of a connection, made by hand: the peer calls ReceiveConnection
// (or is handed this pin in its own), and this pin keeps the type.
class Pin : public IPin {
public:
    Pin(Filter& filter, PIN_DIRECTION direction, const GUID& subtype)
        : filter_(filter), direction_(direction), subtype_(subtype)
    {
    }
    virtual ~Pin() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IPin) {
            *out = static_cast<IPin*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override { return ULONG(InterlockedDecrement(&references_)); }

    HRESULT STDMETHODCALLTYPE Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* peer, const AM_MEDIA_TYPE* type) override
    {
        if (peer_) return VFW_E_ALREADY_CONNECTED;
        if (QueryAccept(type) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
        Attach(peer, *type);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Disconnect() override
    {
        if (!peer_) return S_FALSE;
        peer_->Release();
        peer_ = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** peer) override
    {
        *peer = peer_;
        if (!peer_) return VFW_E_NOT_CONNECTED;
        peer_->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* type) override
    {
        if (!peer_) return VFW_E_NOT_CONNECTED;
        *type = type_;
        type->pUnk = nullptr;
        type->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(format_.size()));
        std::memcpy(type->pbFormat, format_.data(), format_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* info) override
    {
        info->pFilter = &filter_;
        filter_.AddRef();
        info->dir = direction_;
        std::wcscpy(info->achName, direction_ == PINDIR_INPUT ? L"In" : L"Out");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* direction) override
    {
        *direction = direction_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* id) override
    {
        *id = static_cast<LPWSTR>(CoTaskMemAlloc(8 * sizeof(WCHAR)));
        std::wcscpy(*id, direction_ == PINDIR_INPUT ? L"In" : L"Out");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE* type) override
    {
        return type->majortype == MEDIATYPE_Video && type->subtype == subtype_ ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndOfStream() override
    {
        ended_ = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE BeginFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EndFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    // A connection this pin started: `peer` took it in its ReceiveConnection.
    void Attach(IPin* peer, const AM_MEDIA_TYPE& type)
    {
        peer_ = peer;
        peer_->AddRef();
        type_ = type;
        format_.assign(type.pbFormat, type.pbFormat + type.cbFormat);
    }
    bool Ended() const { return ended_; }

private:
    Filter& filter_;
    PIN_DIRECTION direction_;
    GUID subtype_;
    IPin* peer_ = nullptr;
    AM_MEDIA_TYPE type_{};
    Bytes format_;
    bool ended_ = false;
    LONG references_ = 1;
};

// Takes the decompressor's samples.
class SinkPin : public Pin, public IMemInputPin {
public:
    SinkPin(Filter& filter, const GUID& subtype) : Pin(filter, PINDIR_INPUT, subtype) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IMemInputPin) {
            *out = static_cast<IMemInputPin*>(this);
            AddRef();
            return S_OK;
        }
        return Pin::QueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Pin::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return Pin::Release(); }

    HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator**) override { return VFW_E_NO_ALLOCATOR; }
    HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator*, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override
    {
        BYTE* data = nullptr;
        if (FAILED(sample->GetPointer(&data))) return E_POINTER;
        samples.emplace_back(data, data + sample->GetActualDataLength());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample** samples, long count, long* done) override
    {
        for (*done = 0; *done < count; ++*done)
            if (Receive(samples[*done]) != S_OK) return E_FAIL;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override { return S_FALSE; }

    std::vector<Bytes> samples;
};

IPin* FindPin(IBaseFilter* filter, PIN_DIRECTION wanted)
{
    IEnumPins* pins = nullptr;
    if (FAILED(filter->EnumPins(&pins))) return nullptr;
    IPin* found = nullptr;
    for (IPin* pin = nullptr; !found && pins->Next(1, &pin, nullptr) == S_OK;) {
        PIN_DIRECTION direction;
        if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == wanted) found = pin;
        else pin->Release();
    }
    pins->Release();
    return found;
}

// What the platform's AVI splitter makes of the file, in one line.
std::string AskTheSplitter(const std::wstring& file)
{
    IGraphBuilder* graph = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                reinterpret_cast<void**>(&graph))))
        return "no filter graph manager";
    std::string answer;
    IBaseFilter* source = nullptr;
    IBaseFilter* splitter = nullptr;
    char text[200];
    HRESULT hr = graph->AddSourceFilter(file.c_str(), L"source", &source);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(CLSID_AviSplitter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                              reinterpret_cast<void**>(&splitter));
    if (SUCCEEDED(hr)) hr = graph->AddFilter(splitter, L"splitter");
    IPin* out = SUCCEEDED(hr) ? FindPin(source, PINDIR_OUTPUT) : nullptr;
    IPin* in = SUCCEEDED(hr) ? FindPin(splitter, PINDIR_INPUT) : nullptr;
    if (out && in) hr = graph->ConnectDirect(out, in, nullptr);
    IPin* video = SUCCEEDED(hr) && splitter ? FindPin(splitter, PINDIR_OUTPUT) : nullptr;
    if (FAILED(hr)) {
        std::snprintf(text, sizeof text, "the AVI splitter does not take the file (0x%08lx)", (unsigned long)hr);
        answer = text;
    } else if (!video) {
        answer = "the AVI splitter makes no output pin for the file";
    } else {
        IEnumMediaTypes* types = nullptr;
        AM_MEDIA_TYPE* type = nullptr;
        hr = video->EnumMediaTypes(&types);
        if (SUCCEEDED(hr)) hr = types->Next(1, &type, nullptr);
        if (hr == S_OK && type) {
            std::snprintf(text, sizeof text, "the AVI splitter offers a %s stream",
                          type->subtype == FourccSubtype(mmioFOURCC('K', 'S', 'H', 'A')) ? "KSHA" : "non-KSHA");
            answer = text;
            CoTaskMemFree(type->pbFormat);
            CoTaskMemFree(type);
        } else {
            std::snprintf(text, sizeof text, "the AVI splitter offers no media type for the KSHA stream (0x%08lx)",
                          (unsigned long)hr);
            answer = text;
        }
        if (types) types->Release();
        video->Release();
    }
    if (out) out->Release();
    if (in) in->Release();
    if (splitter) splitter->Release();
    if (source) source->Release();
    graph->Release();
    return answer;
}

struct Stream {
    BITMAPINFOHEADER format{};
    std::vector<Bytes> frames;
};

bool ReadStream(const std::string& file, Stream& stream)
{
    AVIFileInit();
    PAVISTREAM video = nullptr;
    bool ok = AVIStreamOpenFromFileA(&video, file.c_str(), streamtypeVIDEO, 0, OF_READ, nullptr) == AVIERR_OK;
    if (ok) {
        LONG size = sizeof stream.format;
        ok = AVIStreamReadFormat(video, 0, &stream.format, &size) == AVIERR_OK;
        for (LONG f = 0; ok && f < AVIStreamLength(video); ++f) {
            LONG bytes = 0;
            AVIStreamRead(video, f, 1, nullptr, 0, &bytes, nullptr);
            Bytes frame(size_t(bytes > 0 ? bytes : 0));
            ok = AVIStreamRead(video, f, 1, frame.data(), bytes, &bytes, nullptr) == AVIERR_OK;
            stream.frames.push_back(std::move(frame));
        }
        AVIStreamRelease(video);
    }
    AVIFileExit();
    return ok && !stream.frames.empty();
}

bool ReadFile(const std::string& path, Bytes& bytes)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::fseek(f, 0, SEEK_END);
    bytes.resize(size_t(std::ftell(f)));
    std::fseek(f, 0, SEEK_SET);
    const bool ok = std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
    std::fclose(f);
    return ok;
}

// Every frame through the AVI Decompressor into `output`; the samples.
std::vector<Bytes> Decompress(const Stream& stream, const BITMAPINFOHEADER& output, const GUID& subtype,
                              bool& beginRefused)
{
    IBaseFilter* decompressor = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_AVIDec, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void**>(&decompressor));
    Check(SUCCEEDED(hr), "the AVI Decompressor loads (0x%08lx)", (unsigned long)hr);
    if (FAILED(hr)) return {};
    Filter own;
    Pin source(own, PINDIR_OUTPUT, FourccSubtype(stream.format.biCompression));
    SinkPin sink(own, subtype);
    IPin* in = FindPin(decompressor, PINDIR_INPUT);
    IPin* out = FindPin(decompressor, PINDIR_OUTPUT);
    Check(in && out, "the AVI Decompressor has an input and an output pin");

    const MediaType compressed(stream.format, FourccSubtype(stream.format.biCompression));
    const MediaType decompressed(output, subtype);
    hr = in ? in->ReceiveConnection(&source, &compressed.type) : E_POINTER;
    Check(hr == S_OK, "the AVI Decompressor takes the KSHA stream (0x%08lx)", (unsigned long)hr);
    if (hr == S_OK) source.Attach(in, compressed.type);
    if (hr == S_OK) hr = out->Connect(&sink, &decompressed.type);
    Check(hr == S_OK, "its output connects in the wanted format (0x%08lx)", (unsigned long)hr);

    IMemAllocator* allocator = nullptr;
    IMemInputPin* input = nullptr;
    if (hr == S_OK) {
        size_t largest = 0;
        for (const Bytes& frame : stream.frames) largest = frame.size() > largest ? frame.size() : largest;
        hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                              reinterpret_cast<void**>(&allocator));
        ALLOCATOR_PROPERTIES wanted{1, LONG(largest), 1, 0}, actual{};
        const char* step = "a memory allocator";
        if (SUCCEEDED(hr)) step = "its properties", hr = allocator->SetProperties(&wanted, &actual);
        if (SUCCEEDED(hr)) step = "IMemInputPin", hr = in->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
        if (SUCCEEDED(hr)) step = "NotifyAllocator", hr = input->NotifyAllocator(allocator, FALSE);
        if (SUCCEEDED(hr)) step = "Commit", hr = allocator->Commit();
        if (SUCCEEDED(hr)) step = "Pause", hr = decompressor->Pause();
        // Wine 8's decompressor queries the codec with the two formats it
        // connected, then fails to begin (the codec manager's trace shows
        // it passing the input format as the output): its fault, not the
        // codec's, and a skip rather than a pass.
        if (hr == E_FAIL && std::strcmp(step, "Pause") == 0) beginRefused = true;
        else Check(SUCCEEDED(hr), "samples can be sent (%s: 0x%08lx)", step, (unsigned long)hr);
    }
    for (size_t f = 0; allocator && SUCCEEDED(hr) && f < stream.frames.size(); ++f) {
        IMediaSample* sample = nullptr;
        hr = allocator->GetBuffer(&sample, nullptr, nullptr, 0);
        BYTE* data = nullptr;
        if (SUCCEEDED(hr)) hr = sample->GetPointer(&data);
        if (SUCCEEDED(hr)) {
            std::memcpy(data, stream.frames[f].data(), stream.frames[f].size());
            sample->SetActualDataLength(LONG(stream.frames[f].size()));
            sample->SetSyncPoint(TRUE);
            REFERENCE_TIME start = REFERENCE_TIME(f) * 400000, stop = start + 400000;
            sample->SetTime(&start, &stop);
            hr = input->Receive(sample);
        }
        if (sample) sample->Release();
        Check(hr == S_OK, "frame %u is taken (0x%08lx)", unsigned(f), (unsigned long)hr);
    }
    if (in && hr == S_OK) {
        in->EndOfStream();
        Check(sink.Ended(), "the end of the stream is passed on");
    }
    decompressor->Stop();
    if (allocator) {
        allocator->Decommit();
        allocator->Release();
    }
    if (input) input->Release();
    if (out) {
        out->Disconnect();
        out->Release();
    }
    if (in) {
        in->Disconnect();
        in->Release();
    }
    decompressor->Release();
    return sink.samples;
}

} // namespace

int main(int argc, char** argv)
{
    std::string avi, format, expectedPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--avi") avi = argv[i + 1];
        else if (option == "--format") format = argv[i + 1];
        else if (option == "--expected") expectedPath = argv[i + 1];
    }
    if (avi.empty() || expectedPath.empty() || (format != "yuy2" && format != "rgb24")) {
        std::fprintf(stderr, "usage: dshow_host --avi FILE --format yuy2|rgb24 --expected RAW\n");
        return 2;
    }
    CoInitialize(nullptr);
    std::printf("dshow_host: %s\n", AskTheSplitter(std::wstring(avi.begin(), avi.end())).c_str());

    Stream stream;
    Bytes expected;
    Check(ReadStream(avi, stream), "AVIFile reads the frames of %s", avi.c_str());
    Check(ReadFile(expectedPath, expected), "read %s", expectedPath.c_str());
    const bool rgb = format == "rgb24";
    BITMAPINFOHEADER output = stream.format;
    output.biSize = sizeof output;
    output.biBitCount = rgb ? 24 : 16;
    output.biCompression = rgb ? BI_RGB : mmioFOURCC('Y', 'U', 'Y', '2');
    output.biSizeImage = DWORD(output.biWidth * output.biHeight * (rgb ? 3 : 2));
    const size_t pictureBytes = output.biSizeImage;

    int compared = 0;
    if (!stream.frames.empty()) {
        bool beginRefused = false;
        const std::vector<Bytes> samples =
            Decompress(stream, output, rgb ? MEDIASUBTYPE_RGB24 : MEDIASUBTYPE_YUY2, beginRefused);
        if (beginRefused && failed == 0) {
            std::printf("skipped: the AVI Decompressor connected KSHA to %s (%d checks passed), then failed to begin "
                        "decompressing (IBaseFilter::Pause 0x80004005), as Wine 8's does\n",
                        format.c_str(), passed);
            CoUninitialize();
            return 77;
        }
        Check(samples.size() == stream.frames.size(), "%u samples for %u frames", unsigned(samples.size()),
              unsigned(stream.frames.size()));
        Check(expected.size() == pictureBytes * stream.frames.size(), "%s holds a picture per frame",
              expectedPath.c_str());
        for (size_t f = 0; f < samples.size() && (f + 1) * pictureBytes <= expected.size(); ++f, ++compared)
            Check(samples[f].size() == pictureBytes &&
                      std::memcmp(samples[f].data(), expected.data() + f * pictureBytes, pictureBytes) == 0,
                  "%s sample %u equals the tool's decode", format.c_str(), unsigned(f));
    }
    CoUninitialize();
    std::printf("dshow_host: %d %s samples compared\n", compared, format.c_str());
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
