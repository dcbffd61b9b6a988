// The replay page: a recording from /demos played through the watch page's renderer.
import { readDemo } from './demo.js';
void readDemo;
