@type@ @record@::get@accessor@() const {
    return impl_->@field@;
}

void @record@::set@accessor@(@type@ value) {
    impl_->@field@ = @value@;
}
