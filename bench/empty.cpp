// The start-up baseline: a C++ program that does nothing, built like wendrel.
int main() { return 0; }
