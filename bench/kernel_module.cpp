// Reaches the raw int8 kernel from Python, so that bench_index_python.py can time a
// scan of the same size in the same run as searches through the Python API. Built
// only with the benchmarks; never installed.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/dot_i8.h"

namespace nb = nanobind;

using Codes = nb::ndarray<const std::int8_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Query = nb::ndarray<const std::int8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

NB_MODULE(_tessarin_bench, m) {
    m.def("kernel_name", [] { return std::string(tessarin::dot_i8_kernel().name); });
    // Dot products of `query` with every row of `codes`, the lock released as the
    // index's search does; returns the largest so the work cannot be dropped.
    m.def("scan_int8", [](Codes codes, Query query) {
        const std::size_t rows = codes.shape(0), n = codes.shape(1);
        if (query.shape(0) != n) throw std::invalid_argument("query and rows differ in length");
        std::vector<std::int32_t> dots(rows);
        {
            nb::gil_scoped_release unlocked;
            tessarin::dot_i8_kernel().dot_rows(query.data(), codes.data(), n, nullptr, 0, rows, dots.data());
        }
        std::int32_t best = INT32_MIN;
        for (std::int32_t d : dots) best = d > best ? d : best;
        return best;
    });
}
