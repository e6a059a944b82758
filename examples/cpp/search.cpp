// Searches a scanned French invoice from C++, with no Python involved: the text is handed over
// as UTF-16 code units, the patterns as UTF-8.
#include <veskal/exact_raw_extract.hpp>
#include <veskal/fuzzy_raw_extract.hpp>
#include <veskal/text.hpp>

#include <cstdio>
#include <string>
#include <string_view>

namespace {

void show(const char* what, const veskal::Extraction& found) {
  std::printf("%s\n", what);
  if (!found.ok()) {
    std::printf("  failed: %s\n", found.message().c_str());
    return;
  }
  for (const veskal::Match& m : found.matches()) {
    std::printf("  [%llu, %llu) score %.3f\n", static_cast<unsigned long long>(m.start),
                static_cast<unsigned long long>(m.end), m.score);
  }
}

}  // namespace

int main() {
  const std::u16string_view invoice =
      u"FACTURE N\u00b0 FAC-2024-0342 \u2014 R\u00e8glement \u00e0 l\u2019ordre de Dupont & "
      u"Fils SARL,\n12 rue de la R\u00e9pubiique, 69002 Lyon. Sign\u00e9 : H\u00e9l\u00e8ne "
      u"Marchnad.";
  const veskal::text::TextView text(invoice);

  show("exact \"lyon\", case-insensitive:",
       veskal::exact_raw_extract::extract(text, "lyon", true, false, {}));
  show("fuzzy \"Hélène Marchand\", Levenshtein at most 2:",
       veskal::fuzzy_raw_extract::extract(text, "Hélène Marchand", false, false, "levenshtein", 2,
                                          0, {"best_match"}));
  show("fuzzy \"republique\", both flags, normalised 0.2:",
       veskal::fuzzy_raw_extract::extract(text, "republique", true, true, "levenshtein", 0.2, 1,
                                          {"best_match", "shortest"}));
  const veskal::Extraction bad =
      veskal::fuzzy_raw_extract::extract(text, "Lyon", false, false, "nope", 1, 0, {});
  // An unknown metric is a status, not an exception.
  return bad.ok() ? 1 : 0;
}
