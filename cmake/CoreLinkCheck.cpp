// Linked with the whole managers' library and no backend (see the top-level
// CMakeLists.txt): it builds only while no manager depends on a simulator.
int main() { return 0; }
