#pragma once

#include <string>
#include <string_view>

namespace tessel {

// The interactive help texts of the parameters, kept apart from the parameter logic.

/// Help text of a band parameter, by its name without the band prefix ("Threshold"), mentioning
/// band `bandNumber` where that helps; empty for a parameter without help text.
std::string bandParameterHelpText(std::string_view suffix, int bandNumber);
/// Help text of a global or analyzer parameter by its full name; empty when it has none.
std::string parameterHelpText(std::string_view name);

}  // namespace tessel
