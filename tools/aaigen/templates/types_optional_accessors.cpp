@type@ @record@::get@accessor@() const {
    return Assigned(impl_->@field@, __LINE__,
                    "@getter@");
}

void @record@::set@accessor@(@type@ value) {
    impl_->@field@ = @value@;
}

bool @record@::has@accessor@() const {
    return impl_->@field@.has_value();
}

void @record@::clear@accessor@() {
    impl_->@field@.reset();
}

@type@ @record@::getOrDefault@accessor@(@param@ defaultValue) const {
    return impl_->@field@.value_or(defaultValue);
}
