// The one tool instance the library's handlers report to (they get only an integer context).
// Set and read on the main thread only: the handlers that use it run on the thread that made
// the library call.
#pragma once

namespace efstool {

class Treesmith;
void SetActiveTreesmith(Treesmith* tool);
Treesmith* ActiveTreesmith();

}  // namespace efstool
