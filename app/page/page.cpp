#include "page/page.hpp"

#include "page/page_assets.hpp"
#include "page/page_grid.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>

namespace korvane {

namespace {

constexpr int kRows = 200;      // log-frequency rows of the spectrogram and the bases
constexpr int kMaxCols = 1600;  // time columns of the spectrogram and the lanes
constexpr double kRangeDb = 80;

// Values in [0, 1] as integers 0..1000: small to carry, fine enough to draw.
std::vector<int> permille(const std::vector<double> &v, double top) {
    std::vector<int> out(v.size(), 0);
    if (!(top > 0)) return out;
    for (size_t i = 0; i < v.size(); ++i)
        out[i] = static_cast<int>(std::lround(1000 * std::clamp(v[i] / top, 0.0, 1.0)));
    return out;
}

double largest(const std::vector<double> &v) {
    return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
}

nlohmann::ordered_json pageJson(const PageData &d, int bitrate) {
    using json = nlohmann::ordered_json;
    const PageGrid g = makePageGrid(d.sampleRate, d.fftSize, d.frameCount, kRows, kMaxCols);
    const double binHz = static_cast<double>(d.sampleRate) / d.fftSize;
    const std::vector<uint8_t> img =
        d.spectrogram.empty()
            ? spectrogramBytes(g, d.magnitudePlanes, d.planeCount, d.bins, d.frameCount, binHz, kRangeDb)
            : spectrogramBytes(g, d.spectrogram.data(), 1, d.bins, d.frameCount, binHz, kRangeDb);
    json j;
    j["title"] = d.title;
    j["dir"] = d.dir;
    j["sampleRate"] = d.sampleRate;
    j["channels"] = d.channels;
    j["originalChannels"] = d.originalChannels;
    j["frames"] = d.frames;
    j["fftSize"] = d.fftSize;
    j["hop"] = d.hop;
    j["bins"] = d.bins;
    j["frameCount"] = d.frameCount;
    j["firstFrameSec"] = d.firstFrameSec;
    j["audio"] = {{"format", "ogg-opus"}, {"bitrate", bitrate}};
    j["pad"] = kPagePadFrames;
    j["sgram"] = {{"rows", g.rows}, {"cols", g.cols},      {"fLo", g.fLo},
                  {"fHi", g.fHi},   {"rangeDb", kRangeDb}, {"data", base64(std::string(img.begin(), img.end()))}};
    json comps = json::array();
    for (const PageComponent &c : d.components) {
        std::vector<double> rows = onRows(g, c.basis.data(), static_cast<int>(c.basis.size()), binHz);
        comps.push_back({{"number", c.number},
                         {"centroidHz", std::isfinite(c.centroidHz) ? json(c.centroidHz) : json(nullptr)},
                         {"peakHz", c.peakHz},
                         {"basis", permille(rows, largest(rows))},
                         // each lane to its own peak: w and h share a scale
                         // only as a product
                         {"activation", permille(onCols(g, c.activation), largest(c.activation))},
                         {"given", c.given.empty() ? json(nullptr) : json(c.given)}});
        if (!c.span.empty()) {
            // a convolutive basis's spectra, on the rows, to their common peak
            std::vector<std::vector<double>> span;
            double top = 0;
            for (const std::vector<double> &w : c.span) {
                span.push_back(onRows(g, w.data(), static_cast<int>(w.size()), binHz));
                top = std::max(top, largest(span.back()));
            }
            json frames = json::array();
            for (const std::vector<double> &w : span) frames.push_back(permille(w, top));
            comps.back()["span"] = std::move(frames);
        }
    }
    j["components"] = std::move(comps);
    return j;
}

// JSON inside a script element: no "</script>" can end it early.
std::string scriptSafe(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        if (ch == '<')
            out += "\\u003c";
        else
            out += ch;
    }
    return out;
}

std::string htmlEscape(const std::string &text) {
    std::string out;
    for (char ch : text) {
        switch (ch) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += ch;
        }
    }
    return out;
}

// The template with its marks replaced in the order they stand, each
// searched for after the text put in before it, so that no value is ever
// read as a mark.
bool fillInOrder(const std::string &tpl, const std::vector<std::pair<std::string, std::string>> &marks,
                 std::string &out) {
    out.clear();
    size_t from = 0;
    for (const auto &[mark, value] : marks) {
        size_t at = tpl.find(mark, from);
        if (at == std::string::npos) return false;
        out.append(tpl, from, at - from);
        out += value;
        from = at + mark.size();
    }
    out.append(tpl, from, std::string::npos);
    return true;
}

bool checkShape(const PageData &d, std::string &err) {
    const size_t cells = static_cast<size_t>(d.bins) * static_cast<size_t>(std::max(d.frameCount, 0));
    if (d.sampleRate <= 0 || d.channels < 1 || d.frames < 1 || d.fftSize < 2 || d.bins != d.fftSize / 2 + 1 ||
        d.frameCount < 1 || d.components.empty() || d.originalChannels < 1 ||
        (d.spectrogram.empty() ? !d.magnitudePlanes || d.planeCount < 1 : d.spectrogram.size() != cells) ||
        (d.originalEncoded.empty() && d.original.size() != static_cast<size_t>(d.frames) * d.originalChannels)) {
        err = "the page's data do not describe a decomposition";
        return false;
    }
    for (const PageComponent &c : d.components) {
        bool hasSound = !c.encoded.empty() || c.samples.size() == static_cast<size_t>(d.frames) * d.channels;
        if (c.basis.size() != static_cast<size_t>(d.bins) || c.activation.size() != static_cast<size_t>(d.frameCount) ||
            !hasSound) {
            err = "the page's data for component " + std::to_string(c.number) + " do not fit the decomposition";
            return false;
        }
    }
    return true;
}

// <script type="text/plain" id="kv-audio-N">base64</script>, N = 0 for the
// original and k for the k-th component.
bool audioElements(const PageData &d, int bitrate, std::ofstream &f, std::string &err) {
    std::string ogg;
    for (size_t n = 0; n <= d.components.size(); ++n) {
        const std::string *bytes = &ogg;
        if (n == 0 && !d.originalEncoded.empty()) {
            bytes = &d.originalEncoded;
        } else if (n == 0) {
            if (!encodePageAudio(d.original.data(), d.frames, d.originalChannels, d.sampleRate, bitrate, ogg, err))
                return false;
        } else if (!d.components[n - 1].encoded.empty()) {
            bytes = &d.components[n - 1].encoded;
        } else if (!encodePageAudio(d.components[n - 1].samples.data(), d.frames, d.channels, d.sampleRate, bitrate,
                                    ogg, err)) {
            return false;
        }
        f << "<script type=\"text/plain\" id=\"kv-audio-" << n << "\">" << base64(*bytes) << "</script>\n";
    }
    return true;
}

}  // namespace

bool writePage(const std::string &path, const PageData &d, std::string &err) {
    if (!checkShape(d, err)) return false;
    const int bitrate =
        pageAudioBitrate(static_cast<int>(d.components.size()) + 1, static_cast<double>(d.frames) / d.sampleRate);
    // the audio goes between the template's two halves, straight to the file
    const std::string tpl = kPageHtml, audioMark = "@KV_AUDIO@";
    const size_t cut = tpl.find(audioMark);
    std::string head, tail;
    if (cut == std::string::npos ||
        !fillInOrder(
            tpl.substr(0, cut),
            {{"@KV_TITLE@", htmlEscape(d.title)},
             {"@KV_STYLE@", kPageCss},
             {"@KV_DATA@",
              scriptSafe(pageJson(d, bitrate).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))}},
            head) ||
        !fillInOrder(tpl.substr(cut + audioMark.size()),
                     {{"@KV_SCRIPT@", std::string(kPageJs) + "\n" + kPageSelftestJs + "\nstart();\n"}}, tail)) {
        err = "the page template lacks one of its marks";
        return false;
    }
    std::ofstream f(path, std::ios::binary);
    f << head;
    if (!audioElements(d, bitrate, f, err)) return false;
    f << tail;
    f.close();
    if (!f) {
        err = "cannot write '" + path + "'";
        return false;
    }
    return true;
}

}  // namespace korvane
