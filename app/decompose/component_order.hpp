// The order of the components (--order): a key per component, the largest
// first.
#pragma once

#include <string>
#include <vector>

namespace korvane {

struct Run;

// For "centroid" and "peak" the basis's spectral centroid or peak bin
// (brightest first), for "energy" |w|^2 |h|^2 (loudest first), for "onset"
// minus the first frame where the activation reaches half its largest value
// (earliest first). A silent component gets a key below every other.
std::vector<double> orderKeys(const Run &run, const std::string &how);

// Energy of w_k h_k over all rows and frames, as |w_k|^2 |h_k|^2.
double componentEnergy(const Run &run, int k);

// The basis as the picture and page show it: for stacked rows, the two
// channels' halves summed.
std::vector<double> shownBasis(const Run &run, int k);

}  // namespace korvane
