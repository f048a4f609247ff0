// The factors a run's resynthesis used, kept in components.json as
// "factors" so that a later remix rebuilds the very same masks: the framing
// (window in samples, rows) and W and H exactly, before any scaling for show.
#pragma once

#include "kv_stream.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace korvane {

// W is s.rows x n, H is n x s.frames, both row-major; members (empty when
// component k is inner component k) the inner components of each component;
// the masks share (w_k h_k)^maskPower.
nlohmann::ordered_json factorsJson(const kve_streamShape &s, const std::vector<double> &W, const std::vector<double> &H,
                                   const std::vector<std::vector<int>> &members = {}, double maskPower = 1);

struct Factors {
    kve_streamShape shape{};
    int K = 0;      // components
    int inner = 0;  // rank-one components in W and H
    std::vector<double> W, H;
    std::vector<std::vector<int>> members;  // K lists of inner ones; empty: one each, the same
    double maskPower = 1;                   // the masks share (w_k h_k)^maskPower; 1 in older records

    // component k's inner components, from 0
    std::vector<int> innerOf(int k) const {
        return members.empty() ? std::vector<int>{k} : members[static_cast<size_t>(k)];
    }
};

// The factors of a record, framed again for its input (rate, length and
// channels as read now; the shape must come out as the record says). false
// and err, naming what is wrong, when the record lacks them or they do not
// fit together.
bool readFactors(const nlohmann::ordered_json &record, int rate, long length, int channels, Factors &f,
                 std::string &err);

}  // namespace korvane
