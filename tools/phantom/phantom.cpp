// placeholder, replaced by the phantom tool
int main() { return 1; }
