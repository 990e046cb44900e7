@result@ @proxy@::@method@(@params@) {
    return core_.Call<@result@>(
        {__FILE__, __LINE__, "@function@"}, @id@, @flag@,
        @lost@@args@);
}
