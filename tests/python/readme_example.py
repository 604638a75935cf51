# The README's Python example: the demo's scene, its two lines of numbers.
import numpy as np

import lighting

light = lighting.PointLight(position=(-1.0, 2.0, 4.0), r=1.0, g=0.5, b=0.5, intensity=5.0)
point = (1.0, 2.0, 0.0)
normal = (0.0, 0.0, 1.0)
reflectance = (0.5, 0.5, 1.0)

received = lighting.received_energy(point, light)
print("Energie recue    : %f %f %f" % tuple(received))

# The same point in a batch of one: an (N, 3) array in, an (N, 3) float32 array out.
diffused = lighting.diffused_energy(np.array([point]), normal, reflectance, light)
print("Energie diffusee : %f %f %f" % tuple(diffused[0]))
