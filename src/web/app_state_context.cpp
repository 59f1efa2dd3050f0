// The page's state as a run's context.
#include "tarno/web/app_state_context.hpp"

namespace tarno::web {

namespace {
std::string photos(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " photo" : " photos");
}
}  // namespace

std::string appStateContext(const library::ViewState& state,
                            const std::optional<std::string>& focusFileName) {
  std::string text = "CURRENT APP STATE\n";
  text += "Displayed view: \"" + state.title + "\" (" + photos(state.ids.size()) + ")\n";
  text += "Selection: ";
  if (state.selection.empty()) {
    text += "none\n";
  } else {
    text += photos(state.selection.size());
    if (state.primary) text += ", primary " + *state.primary;
    text += "\n";
  }
  const std::optional<std::string>& focus = state.editorPhotoID ? state.editorPhotoID : state.focus;
  text += "Focused photo: ";
  if (focus) {
    text += *focus;
    if (focusFileName) text += " (" + *focusFileName + ")";
  } else {
    text += "none";
  }
  text += "\n";
  return text;
}

}  // namespace tarno::web
