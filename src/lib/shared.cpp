// libwendrel.so.1 is made of the objects of the wendrel_api library, taken
// whole (see CMakeLists.txt); a shared library target still needs a source
// of its own, and this one adds nothing.
