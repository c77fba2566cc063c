// Builds the precompiled header the test programs share; the program itself does nothing.
int main() { return 0; }
