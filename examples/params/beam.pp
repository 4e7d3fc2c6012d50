; Parameters of one beam.
Profile = IPE200
Length = 4500
Material = S235
