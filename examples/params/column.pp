Profile = HEA100
Height = 3200
Material = S355
