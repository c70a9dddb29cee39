#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace qel {

/// A code-to-label table. Lookups are exact: case and length must match.
using LabelTable = std::map<std::string, std::string, std::less<>>;

/// The label of `code`, or nothing when the table lacks it.
std::optional<std::string> lookupLabel(const LabelTable& table, std::string_view code);

/// The tables, built once on first use.
const LabelTable& civilityLabels();    ///< "22" Madame, "23" Mademoiselle, "31" Monsieur
const LabelTable& cardTypeLabels();    ///< "00" to "03"
const LabelTable& professionLabels();  ///< profession and métier codes
const LabelTable& practiceModeLabels();
const LabelTable& pharmacistSectionLabels();
const LabelTable& structureIdTypeLabels();
const LabelTable& activitySectorLabels();  ///< "SA01" to "SA59"
const LabelTable& specialityLabels();
const LabelTable& conventionLabels();
const LabelTable& tariffZoneLabels();
const LabelTable& mileageLabels();
const LabelTable& agreementLabels();

}  // namespace qel
