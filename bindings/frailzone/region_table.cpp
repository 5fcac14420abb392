#include "region_table.hpp"

#include <algorithm>
#include <limits>

namespace frailzone_py {

using namespace pybind11::literals;

namespace {

py::object per_sample_scores(const Scoring& scoring, Subset& subset, const char* pred_name) {
    if (subset.scores.is_none()) {
        if (subset.pred.is_none())
            raise_tamrel(std::string(pred_name) + " is None: cannot score the rows of the weak regions.");
        py::object np = mod("np");
        subset.scores = scoring.scoring_func(np.attr("ravel")(np.attr("asarray")(subset.y)),
                                             np.attr("ravel")(np.attr("asarray")(subset.pred)));
    }
    return subset.scores;
}

// "<prefix><name> All" and "<prefix><name>" of one region on one subset.
void add_scores(py::dict& rec, const std::string& prefix, const std::string& name,
                const Scoring& scoring, Subset& subset, const std::vector<std::int64_t>& idx,
                const char* pred_name) {
    const std::string all_key = prefix + name + " All";
    if (idx.empty()) {
        rec[all_key.c_str()] = py::list();
        rec[(prefix + name).c_str()] = std::numeric_limits<double>::quiet_NaN();
        return;
    }
    if (!scoring.additive) {
        py::object s = score_rows(scoring, subset.y, subset.pred, to_index_array(idx), subset.weight);
        rec[all_key.c_str()] = s;
        rec[(prefix + name).c_str()] = s;
        return;
    }
    const ColumnRef s = column_ref(per_sample_scores(scoring, subset, pred_name), "scores");
    const ColumnRef w = weight_column(subset.weight);
    const std::int64_t top = *std::max_element(idx.begin(), idx.end());
    if (top >= s.col.size || (!w.col.empty() && top >= w.col.size))
        throw py::index_error("predictions and sample_weight must have one entry per row of x.");
    py::array_t<double> all(static_cast<py::ssize_t>(idx.size()));
    double* out = all.mutable_data();
    double mean;
    {
        py::gil_scoped_release nogil;
        tamrel::take(s.col, tamrel::Rows::of(idx), out);
        mean = tamrel::mean_at(s.col, tamrel::Rows::of(idx), w.col);
    }
    rec[all_key.c_str()] = all;
    rec[(prefix + name).c_str()] = mean;
}

}  // namespace

py::list build_region_records(const py::object& slicer, const Scoring& scoring, Subset& train,
                              Subset& test) {
    py::list records;
    py::list weak = slicer.attr("weak_region");
    if (weak.empty()) return records;
    const auto boxes = region_boxes(slicer, weak);
    const auto train_rows = region_members(slicer, train.x, boxes);
    const auto test_rows = region_members(slicer, test.x, boxes);
    const std::string name = py::str(slicer.attr("score_name")).cast<std::string>();
    const py::object copy = mod("copy");
    for (size_t k = 0; k < boxes.size(); ++k) {
        py::dict rec = copy(weak[k]);
        rec["#Train"] = train_rows[k].size();
        rec["#Test"] = test_rows[k].size();
        add_scores(rec, "train_", name, scoring, train, train_rows[k], "train_pred");
        add_scores(rec, "test_", name, scoring, test, test_rows[k], "test_pred");
        rec["Gap"] = rec[("test_" + name).c_str()] - rec[("train_" + name).c_str()];
        records.append(rec);
    }
    return records;
}

void sort_by_gap(py::list& records) {
    std::vector<double> gap;
    for (const py::handle& rec : records) gap.push_back(as_number(rec["Gap"], "Gap"));
    py::list sorted;
    for (size_t i : tamrel::order_by_gap(gap)) sorted.append(records[i]);
    records = sorted;
}

py::object region_table(const py::object& slicer, const py::list& records) {
    const auto fidx = slicer_fidx(slicer);
    py::list names = slicer.attr("feature_names");
    const std::string name = py::str(slicer.attr("score_name")).cast<std::string>();
    const bool one = fidx.size() == 1;
    py::list cols;
    py::dict rename;
    const std::string f0 = py::str(names[fidx[0]]);
    cols.append("lb1");
    cols.append("ub1");
    rename["lb1"] = "[" + f0;
    rename["ub1"] = f0 + ")";
    if (!one) {
        const std::string f1 = py::str(names[fidx[1]]);
        cols.append("lb2");
        cols.append("ub2");
        rename["lb2"] = "[" + f1;
        rename["ub2"] = f1 + ")";
    }
    for (const std::string& c : {std::string("#Test"), std::string("#Train"), "test_" + name,
                                "train_" + name, std::string("Gap")})
        cols.append(c);
    py::object table = mod("pd").attr("DataFrame")(records);
    return table[cols].attr("rename")("columns"_a = rename);
}

}  // namespace frailzone_py
