// SPDX-License-Identifier: MIT
#include "junit.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <pugixml.hpp>
#include <unistd.h>

#include "text.h"

namespace {

// `text` as XML 1.0 may hold it: a control character but tab and line end
// as \xHH.
std::string xml_text(const std::string &text) {
    std::string safe;
    for (const char c : valid_utf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            constexpr char hex[] = "0123456789abcdef";
            safe += {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
        } else {
            safe += c;
        }
    }
    return safe;
}

// The time a row took: its flood's, or the floods of a search's tries. The
// receivers of a try flooded together each have a row of it, its one flood.
double row_seconds(const json &row) {
    double seconds = row.contains("flood_seconds") && row["flood_seconds"].is_number()
                         ? row["flood_seconds"].get<double>()
                         : 0;
    if (row.contains("tries") && row["tries"].is_array()) {
        std::map<std::uint64_t, double> by_try;
        for (const json &t : row["tries"]) {
            double &longest = by_try[t.value("try", std::uint64_t{0})];
            longest = std::max(longest, t.value("flood_seconds", 0.0));
        }
        for (const auto &[number, flood] : by_try) {
            seconds += flood;
        }
    }
    return seconds;
}

} // namespace

std::string write_junit(const std::string &path, const std::vector<judged_row> &rows, bool search,
                        double seconds) {
    pugi::xml_document report;
    pugi::xml_node declaration = report.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "UTF-8";
    pugi::xml_node suites = report.append_child("testsuites");
    pugi::xml_node suite = suites.append_child("testsuite");
    suite.append_attribute("name") = "tsflood-consumers";
    unsigned failures = 0, errors = 0;
    for (const judged_row &row : rows) {
        pugi::xml_node test = suite.append_child("testcase");
        test.append_attribute("name") = xml_text(row.name).c_str();
        test.append_attribute("classname") = "tsflood-consumers";
        test.append_attribute("time") = fixed(row_seconds(row.object), 3).c_str();
        pugi::xml_node properties = test.append_child("properties");
        for (const auto &[key, of] : figure_keys(search)) {
            if (row.object.contains(key) && !row.object[key].is_null()) {
                pugi::xml_node property = properties.append_child("property");
                property.append_attribute("name") = key.c_str();
                property.append_attribute("value") =
                    (of == unit::ending ? value_text(of, row.object[key]) : row.object[key].dump())
                        .c_str();
            }
        }
        if (row.is_new) {
            pugi::xml_node property = properties.append_child("property");
            property.append_attribute("name") = "baseline";
            property.append_attribute("value") = "new";
        }
        if (!row.failure.empty()) {
            ++errors;
            pugi::xml_node error = test.append_child("error");
            error.append_attribute("type") = "flood";
            error.append_attribute("message") = xml_text(row.failure).c_str();
            continue;
        }
        bool failed = false;
        for (const verdict &v : row.verdicts) {
            if (!v.met) {
                const std::string found = verdict_value_text(v);
                const std::string was =
                    v.baseline ? ", baseline " + value_text(v.of.of, *v.baseline) : "";
                pugi::xml_node failure = test.append_child("failure");
                failure.append_attribute("type") = "requirement";
                failure.append_attribute("message") = (v.of.expr + ": " + found + was).c_str();
                failure.text() = (v.of.expr + "\nfound: " + found + " (" + v.value.dump() + ")" +
                                  (v.baseline ? "\nbaseline: " + value_text(v.of.of, *v.baseline) +
                                                    " (" + v.baseline->dump() + ")"
                                              : "") +
                                  "\n")
                                     .c_str();
                failed = true;
            }
        }
        failures += failed ? 1 : 0;
    }
    for (pugi::xml_node counted : {suites, suite}) {
        counted.append_attribute("tests") = rows.size();
        counted.append_attribute("failures") = failures;
        counted.append_attribute("errors") = errors;
        counted.append_attribute("time") = fixed(seconds, 3).c_str();
    }
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    suite.append_attribute("hostname") = host;
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", std::gmtime(&now));
    suite.append_attribute("timestamp") = stamp;
    if (!report.save_file(path.c_str(), "  ", pugi::format_default, pugi::encoding_utf8)) {
        return "--junit " + path + ": cannot be written: " + std::strerror(errno);
    }
    return "";
}
