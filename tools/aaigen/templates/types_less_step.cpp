if (a.@field@ != b.@field@) {
    return a.@field@ < b.@field@;
}
